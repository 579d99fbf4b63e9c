#include "velloc/fastcgi/supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "velloc/fastcgi/busy_board.h"
#include "velloc/fastcgi/service_report.h"
#include "velloc/fastcgi/worker.h"
#include "velloc/metrics/metrics_store.h"
#include "velloc/metrics/metrics_text.h"
#include "velloc/request/event_log.h"
#include "velloc/settings/load_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

// A worker that dies sooner than this after its start is replaced only after this long,
// so that a fault which kills every worker at once does not become a fork loop.
constexpr auto kRestartPause = std::chrono::seconds(1);
constexpr int kWorkerFailed = 1;
// Where a handed-over socket lies, as systemd passes its first one.
constexpr int kHandedSocket = 3;

// How often a sender of the server's deliveries runs: a pass starts this long after its
// previous one started, or when it ended if it took longer.
constexpr auto kPassInterval = std::chrono::seconds(5);
// A pass still running after this long is stopped: well within the hold of the
// delivery it sends (10 minutes), so that nobody else takes that one meanwhile.
constexpr auto kPassLimit = std::chrono::minutes(8);

// What the last delivery pass saw of the outbox, in memory it shares with the
// supervisor. Written by one pass at a time.
struct OutboxBoard {
  std::atomic<bool> known{false};
  std::atomic<std::int64_t> items{0};
  std::atomic<std::int64_t> oldest_seconds{0};
};

struct Worker {
  pid_t pid;
  Clock::time_point started;
  int slot;  // on the busy board
};

// A sender of the server's deliveries, by its number.
struct Deliverer {
  pid_t pid = -1;  // the pass running; -1: none
  Clock::time_point started;
  Clock::time_point next = Clock::now();
};

// velloc's log as the settings name it at this moment, for the server's own lines.
MailMessage server_log(const ProcessFacts& facts) {
  MailMessage log;
  std::string file = find_settings_file(facts);
  settings::SiteSettings site = settings::read_site_settings(file);
  log.log_file = site.log_file;
  log.log_level = site.log_level;
  log.log_format = site.log_format;
  return log;
}

sigset_t signal_set(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : signals) sigaddset(&set, signal_number);
  return set;
}

constexpr std::size_t kKeptDatabaseConnections = 4;

ConnectionLimits connection_limits(const ServerOptions& options) {
  ConnectionLimits limits;
  limits.request = std::chrono::seconds(options.request_timeout);
  limits.idle = std::chrono::seconds(options.idle_timeout);
  return limits;
}

// The body of a freshly forked worker; never returns.
[[noreturn]] void work(int listen_fd, int supervisor_signals, const ServerOptions& options,
                       const ProcessFacts& facts, BusySlot busy, const BusyBoard& board) {
  close(supervisor_signals);
  sigset_t stopping = signal_set({SIGTERM, SIGINT});
  sigset_t child = signal_set({SIGCHLD});
  sigprocmask(SIG_UNBLOCK, &child, nullptr);
  int stop_fd = signalfd(-1, &stopping, SFD_CLOEXEC);
  WorkerEnd end = WorkerEnd::kFailed;
  {
    // A worker keeps a few database connections open between its requests; they are
    // closed with the Site before the worker exits.
    Site site(facts);
    site.database_connections().keep_at_most(kKeptDatabaseConnections);
    site.keep_smtp_connections();
    site.share_once_with(options.settings_once);
    site.set_delivery_wakeup(options.delivery_wakeup);
    site.keep_last_good_settings();
    site.set_metrics(options.metrics, [&options, &board] {
      MetricsGauges gauges;
      int busy_workers = board.busy();
      gauges.workers = {
          {"busy", static_cast<std::uint64_t>(busy_workers)},
          {"idle", static_cast<std::uint64_t>(std::max(0, options.workers - busy_workers))}};
      return gauges;
    });
    if (stop_fd >= 0)
      end = serve_requests(site, listen_fd, stop_fd, options.max_requests,
                           connection_limits(options), busy);
  }
  std::cerr.flush();
  _exit(end == WorkerEnd::kFailed ? kWorkerFailed : 0);
}

// The body of a freshly forked delivery pass; never returns. SIGTERM stays blocked, so
// the delivery in hand is finished; the pass takes no other after it.
[[noreturn]] void deliver_once(int listen_fd, int supervisor_signals, const ServerOptions& options,
                               const ProcessFacts& facts, int sender, OutboxBoard* board) {
  close(supervisor_signals);
  close(listen_fd);
  sigset_t stopping = signal_set({SIGTERM, SIGINT});
  sigset_t child = signal_set({SIGCHLD});
  sigprocmask(SIG_UNBLOCK, &child, nullptr);
  int stop_fd = signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
  bool stopped = stop_fd < 0;
  auto stop = [&] {
    signalfd_siginfo info;
    if (!stopped && read(stop_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info)))
      stopped = true;
    return stopped;
  };
  auto seen = [board](const OutboxSummary& outbox) {
    board->items = outbox.items;
    board->oldest_seconds = outbox.oldest.count();
    board->known = true;
  };
  std::optional<OutboxSummary> outbox = options.deliver(facts, sender, stop, seen);
  // The first sender alone tells what the outbox holds.
  if (sender == 0 && outbox) seen(*outbox);
  if (sender == 0 && !outbox) board->known = false;
  std::cerr.flush();
  _exit(0);
}

// The board in memory shared with the children; nullptr when it cannot be mapped.
OutboxBoard* map_outbox_board() {
  void* memory =
      mmap(nullptr, sizeof(OutboxBoard), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : new (memory) OutboxBoard;
}

// The options as the report reads them: the outbox as the last pass saw it, unless the
// entry point tells it.
ServerOptions reported_options(const ServerOptions& options, const OutboxBoard* board) {
  ServerOptions reported = options;
  if (!reported.outbox && options.deliver && board != nullptr)
    reported.outbox = [board]() -> std::optional<OutboxSummary> {
      if (!board->known) return std::nullopt;
      return OutboxSummary{board->items, std::chrono::seconds(board->oldest_seconds)};
    };
  return reported;
}

class Supervisor {
 public:
  Supervisor(int listen_fd, int signal_fd, const ServerOptions& options, const ProcessFacts& facts,
             const ServerRestart& restart)
      : listen_fd_(listen_fd),
        signal_fd_(signal_fd),
        options_(options),
        facts_(facts),
        restart_(restart),
        outbox_board_(map_outbox_board()),
        reported_(reported_options(options, outbox_board_)),
        board_(options.workers),
        report_(reported_, board_) {}
  ~Supervisor() {
    if (outbox_board_ != nullptr) munmap(outbox_board_, sizeof(OutboxBoard));
  }
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  int serve();

 private:
  void start_worker();
  int free_slot() const;
  void log_start() const;
  void handle_signals();
  void reap_workers();
  void log_death(pid_t pid, int status);
  void start_due_workers();
  int poll_timeout() const;
  void drain();
  void execute_anew();
  // The server's deliveries: a pass is started when due, stopped past kPassLimit.
  void tend_deliverers();
  void start_deliverer(int sender);
  void deliverer_ended(int sender, int status);
  void stop_deliverers(int signal_number);

  int listen_fd_;
  int signal_fd_;
  const ServerOptions& options_;
  const ProcessFacts& facts_;
  const ServerRestart& restart_;
  std::vector<Worker> workers_;
  std::vector<Clock::time_point> restarts_;  // when the missing workers are due
  OutboxBoard* outbox_board_;
  ServerOptions reported_;
  std::vector<Deliverer> deliverers_;
  BusyBoard board_;
  ServiceReport report_;
  bool stopping_ = false;
  bool restarting_ = false;
};

// The lowest slot no worker holds; there is one for each worker the server keeps.
int Supervisor::free_slot() const {
  int slot = 0;
  while (std::any_of(workers_.begin(), workers_.end(),
                     [&](const Worker& worker) { return worker.slot == slot; }))
    ++slot;
  return slot;
}

void Supervisor::start_worker() {
  int slot = free_slot();
  BusySlot busy = board_.fresh_slot(slot);
  pid_t pid = fork();
  if (pid == 0) work(listen_fd_, signal_fd_, options_, facts_, busy, board_);
  if (pid < 0) {
    restarts_.push_back(Clock::now() + kRestartPause);
    return;
  }
  workers_.push_back({pid, Clock::now(), slot});
}

// "velloc 1.4.0 started: listening on unix:/run/velloc/velloc.sock with 4 workers", or
// its JSON line with the version, the address and the number of workers.
void Supervisor::log_start() const {
  std::optional<ListenAddress> bound = bound_address(listen_fd_);
  if (!bound) bound = options_.address;
  std::string address = bound ? listen_address_text(*bound) : "a socket without a name";
  std::string version(program_version());
  char text[2000];
  std::snprintf(text, sizeof text, "velloc %s %s: listening on %s with %d %s\n", version.c_str(),
                options_.started_anew ? "started anew" : "started", address.c_str(),
                options_.workers, options_.workers == 1 ? "worker" : "workers");
  const LogMember members[] = {{"version", version},
                               {"address", address},
                               {"workers", std::to_string(options_.workers), true},
                               {"anew", options_.started_anew ? "true" : "false", true}};
  log_record(server_log(facts_), LogEvent::kServerStart, 1, members, text);
}

// "FastCGI worker 8631 ended by signal 9; ...", or its JSON line with the worker's
// pid and the signal or the exit status.
void Supervisor::log_death(pid_t pid, int status) {
  bool signaled = WIFSIGNALED(status);
  int number = signaled ? WTERMSIG(status) : WEXITSTATUS(status);
  char text[128];
  std::snprintf(text, sizeof text, "FastCGI worker %ld ended %s %d; another takes its place\n",
                static_cast<long>(pid), signaled ? "by signal" : "with status", number);
  const LogMember members[] = {{"worker_pid", std::to_string(pid), true},
                               {signaled ? "signal" : "status", std::to_string(number), true}};
  log_record(server_log(facts_), LogEvent::kWorkerDied, 1, members, text);
}

void Supervisor::reap_workers() {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    auto sender = std::find_if(deliverers_.begin(), deliverers_.end(),
                               [&](const Deliverer& deliverer) { return deliverer.pid == pid; });
    if (sender != deliverers_.end()) {
      deliverer_ended(static_cast<int>(sender - deliverers_.begin()), status);
      continue;
    }
    auto found = std::find_if(workers_.begin(), workers_.end(),
                              [&](const Worker& worker) { return worker.pid == pid; });
    if (found == workers_.end()) continue;
    Clock::time_point started = found->started;
    board_.fresh_slot(found->slot);  // a request it was busy with ended with it
    workers_.erase(found);
    if (stopping_) continue;
    bool died = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (died) log_death(pid, status);
    if (died && options_.metrics) options_.metrics->count_worker_restart();
    bool quick = died && Clock::now() - started < kRestartPause;
    restarts_.push_back(quick ? Clock::now() + kRestartPause : Clock::now());
  }
}

void Supervisor::deliverer_ended(int sender, int status) {
  Deliverer& ended = deliverers_[static_cast<std::size_t>(sender)];
  pid_t pid = ended.pid;
  ended.pid = -1;
  ended.next = std::max(ended.started + kPassInterval, Clock::now());
  if (stopping_ || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) return;
  MailMessage log = server_log(facts_);
  if (WIFSIGNALED(status)) {
    log_event(log, 1, "Delivery pass %ld ended by signal %d; another starts in %lld s\n",
              static_cast<long>(pid), WTERMSIG(status),
              static_cast<long long>(kPassInterval.count()));
  } else {
    log_event(log, 1, "Delivery pass %ld ended with status %d; another starts in %lld s\n",
              static_cast<long>(pid), WEXITSTATUS(status),
              static_cast<long long>(kPassInterval.count()));
  }
}

void Supervisor::start_deliverer(int sender) {
  Deliverer& deliverer = deliverers_[static_cast<std::size_t>(sender)];
  Clock::time_point now = Clock::now();
  deliverer.started = now;
  pid_t pid = fork();
  if (pid == 0) deliver_once(listen_fd_, signal_fd_, options_, facts_, sender, outbox_board_);
  if (pid < 0) {
    deliverer.next = now + kPassInterval;
    return;
  }
  deliverer.pid = pid;
}

// Each sender the settings want runs a pass when its own is due; one running past
// kPassLimit is stopped. The settings are read only when a pass is due.
void Supervisor::tend_deliverers() {
  if (!options_.deliver || outbox_board_ == nullptr) return;
  Clock::time_point now = Clock::now();
  for (Deliverer& deliverer : deliverers_)
    if (deliverer.pid > 0 && now - deliverer.started >= kPassLimit) kill(deliverer.pid, SIGKILL);
  if (deliverers_.empty()) deliverers_.resize(1);
  bool due = std::any_of(deliverers_.begin(), deliverers_.end(), [&](const Deliverer& deliverer) {
    return deliverer.pid <= 0 && now >= deliverer.next;
  });
  if (!due) return;
  int wanted = options_.delivery_senders ? options_.delivery_senders(facts_) : 1;
  if (wanted == 0) outbox_board_->known = false;
  if (static_cast<int>(deliverers_.size()) < wanted)
    deliverers_.resize(static_cast<std::size_t>(wanted));
  for (int sender = 0; sender < static_cast<int>(deliverers_.size()); ++sender) {
    Deliverer& deliverer = deliverers_[static_cast<std::size_t>(sender)];
    if (deliverer.pid > 0 || now < deliverer.next) continue;
    if (sender < wanted)
      start_deliverer(sender);
    else
      deliverer.next = now + kPassInterval;
  }
}

void Supervisor::stop_deliverers(int signal_number) {
  for (const Deliverer& deliverer : deliverers_)
    if (deliverer.pid > 0) kill(deliverer.pid, signal_number);
}

void Supervisor::handle_signals() {
  signalfd_siginfo info;
  while (read(signal_fd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stopping_ = true;
    if (info.ssi_signo == SIGHUP) restarting_ = true;
  }
  reap_workers();
}

void Supervisor::start_due_workers() {
  Clock::time_point now = Clock::now();
  auto due = std::partition(restarts_.begin(), restarts_.end(),
                            [&](Clock::time_point when) { return when > now; });
  std::size_t count = static_cast<std::size_t>(restarts_.end() - due);
  restarts_.erase(due, restarts_.end());
  for (std::size_t i = 0; i < count; ++i) start_worker();
}

// Until the next worker is due or the next beat of the report, whichever comes first.
int Supervisor::poll_timeout() const {
  Clock::time_point now = Clock::now();
  int beat = report_.beat_timeout(now);
  std::vector<Clock::time_point> waits = restarts_;
  if (options_.deliver && outbox_board_ != nullptr) {
    for (const Deliverer& deliverer : deliverers_)
      waits.push_back(deliverer.pid > 0 ? deliverer.started + kPassLimit : deliverer.next);
    if (deliverers_.empty()) waits.push_back(now);
  }
  if (waits.empty()) return beat;
  Clock::time_point first = *std::min_element(waits.begin(), waits.end());
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(first - now).count();
  int due = static_cast<int>(std::max<decltype(wait)>(wait, 0));
  return beat < 0 ? due : std::min(due, beat);
}

// Asks every worker to stop after its request in flight, stops accepting, and stops
// the workers still busy when the drain time is up. A socket of the server's own is shut
// down, so that clients are refused at once; one that was handed to the process stays
// usable for whoever started it (systemd keeps the waiting connections for the next
// start).
void Supervisor::drain() {
  for (const Worker& worker : workers_) kill(worker.pid, SIGTERM);
  stop_deliverers(SIGTERM);
  if (options_.address) shutdown(listen_fd_, SHUT_RDWR);
  close(listen_fd_);
  Clock::time_point deadline = Clock::now() + kDrainTime;
  auto sending = [this] {
    return std::any_of(deliverers_.begin(), deliverers_.end(),
                       [](const Deliverer& deliverer) { return deliverer.pid > 0; });
  };
  while ((!workers_.empty() || sending()) && Clock::now() < deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd watched{signal_fd_, POLLIN, 0};
    poll(&watched, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
    handle_signals();
  }
  for (const Worker& worker : workers_) kill(worker.pid, SIGKILL);
  for (const Worker& worker : workers_) waitpid(worker.pid, nullptr, 0);
  workers_.clear();
  for (Deliverer& deliverer : deliverers_) {
    if (deliverer.pid <= 0) continue;
    kill(deliverer.pid, SIGKILL);
    waitpid(deliverer.pid, nullptr, 0);
    deliverer.pid = -1;
  }
}

// The listening socket goes to the new program at kHandedSocket, open across the exec; the
// old workers are asked to stop after their request in flight (the new program reaps them).
// When the exec fails, the descriptors are put back and the workers that stop are replaced
// as usual.
void Supervisor::execute_anew() {
  restarting_ = false;
  std::vector<std::string> environment;
  for (const std::string& entry : restart_.environment)
    if (!entry.starts_with("LISTEN_")) environment.push_back(entry);
  environment.push_back("LISTEN_PID=" + std::to_string(getpid()));
  environment.push_back("LISTEN_FDS=1");
  environment.push_back("LISTEN_FDNAMES=" + std::string(kRestartSocketName));
  // The counters go on in the same block; it stays open across the exec only.
  int metrics_fd = options_.metrics ? options_.metrics->handover_fd() : -1;
  // Never at the number the socket goes to.
  if (metrics_fd == kHandedSocket)
    metrics_fd = fcntl(metrics_fd, F_DUPFD_CLOEXEC, kHandedSocket + 1);
  if (metrics_fd >= 0) {
    std::erase_if(environment, [](const std::string& entry) {
      return entry.starts_with(std::string(kMetricsHandover) + "=");
    });
    environment.push_back(std::string(kMetricsHandover) + "=" + std::to_string(metrics_fd));
  }
  std::vector<char*> argv, envp;
  for (const std::string& argument : restart_.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  int kept = -1;
  if (listen_fd_ != kHandedSocket) {
    if (fcntl(kHandedSocket, F_GETFD) >= 0) kept = fcntl(kHandedSocket, F_DUPFD_CLOEXEC, 10);
    dup2(listen_fd_, kHandedSocket);
  } else {
    fcntl(kHandedSocket, F_SETFD, 0);
  }
  for (const Worker& worker : workers_) kill(worker.pid, SIGTERM);
  stop_deliverers(SIGTERM);
  report_.reloading(Clock::now());
  std::cerr.flush();
  if (metrics_fd >= 0) fcntl(metrics_fd, F_SETFD, 0);
  execve(restart_.program.c_str(), argv.data(), envp.data());
  int error = errno;
  if (metrics_fd >= 0) fcntl(metrics_fd, F_SETFD, FD_CLOEXEC);
  if (options_.metrics && metrics_fd != options_.metrics->handover_fd() && metrics_fd >= 0)
    close(metrics_fd);

  if (listen_fd_ != kHandedSocket) {
    if (kept >= 0) {
      dup2(kept, kHandedSocket);
      close(kept);
    } else {
      close(kHandedSocket);
    }
  } else {
    fcntl(kHandedSocket, F_SETFD, FD_CLOEXEC);
  }
  log_event(server_log(facts_), LogEvent::kRestartFailed, 1,
            "FastCGI server cannot start %s anew: %s\n", restart_.program.c_str(),
            std::strerror(error));
  report_.ready(static_cast<int>(workers_.size()), Clock::now());
}

int Supervisor::serve() {
  for (int i = 0; i < options_.workers; ++i) start_worker();
  log_start();
  report_.ready(static_cast<int>(workers_.size()), Clock::now());
  for (;;) {
    pollfd watched{signal_fd_, POLLIN, 0};
    poll(&watched, 1, poll_timeout());
    handle_signals();
    if (stopping_) break;
    if (restarting_) execute_anew();
    start_due_workers();
    tend_deliverers();
    report_.workers(static_cast<int>(workers_.size()), Clock::now());
    report_.beat(Clock::now());
  }
  report_.stopping();
  drain();
  log_event(server_log(facts_), LogEvent::kServerStop, 1, "velloc stopped\n");
  return 0;
}

}  // namespace

int run_fastcgi_server(int listen_fd, const ServerOptions& options, const ProcessFacts& facts,
                       const ServerRestart& restart) {
  // A visitor who hangs up must not end a worker; the workers race for each connection.
  std::signal(SIGPIPE, SIG_IGN);
  int flags = fcntl(listen_fd, F_GETFL);
  fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK);
  fcntl(listen_fd, F_SETFD, FD_CLOEXEC);
  sigset_t handled = signal_set({SIGTERM, SIGINT, SIGCHLD, SIGHUP});
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  int signal_fd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd < 0) {
    std::cerr << "velloc: cannot wait for signals\n";
    return 1;
  }
  Supervisor supervisor(listen_fd, signal_fd, options, facts, restart);
  int status = supervisor.serve();
  close(signal_fd);
  return status;
}
