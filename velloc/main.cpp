// The entry point. Without arguments velloc answers one form submission as a CGI
// program (exit status 1). It serves FastCGI instead when its standard input is a
// listening socket, when systemd passes it one, or when the command line says where
// to listen; any other argument without a CGI environment is refused with the usage
// text. Only here is the process environment read.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/ini_file.h"
#include "platform/path_map.h"
#include "platform/shared_once.h"
#include "platform/temp_file.h"
#include "platform/termination_guard.h"
#include "platform/wakeup.h"
#include "velloc/archive/archive_commands.h"
#include "velloc/archive/archive_options.h"
#include "velloc/archive/delivery_commands.h"
#include "velloc/archive/release.h"
#include "velloc/archive/server_deliveries.h"
#include "velloc/check/catalogue_check.h"
#include "velloc/check/settings_check.h"
#include "velloc/check/settings_listing.h"
#include "velloc/doctor/doctor.h"
#include "velloc/fastcgi/listen_address.h"
#include "velloc/fastcgi/server_options.h"
#include "velloc/fastcgi/service_notify.h"
#include "velloc/fastcgi/supervisor.h"
#include "velloc/metrics/metrics_store.h"
#include "velloc/pipeline.h"
#include "velloc/process_facts.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"
#include "velloc/settings/site_settings.h"
#include "velloc/simulate/simulate_command.h"
#include "velloc/storage/odbc_database.h"
#include "velloc/webhook/webhook_settings.h"

extern char** environ;

namespace {

constexpr int kSystemdFirstSocket = 3;
constexpr int kUsageError = 2;

// One submission. A web server that ends the run (SIGTERM, SIGHUP, SIGINT) leaves no
// temporary files behind; one that went away (SIGPIPE) fails the writes and the run
// ends normally.
int run_cgi() {
  platform::TempFileRegistry temp_files;
  platform::TerminationGuard guard(temp_files,
                                   platform::TerminationGuard::Arming::kBeforeFirstFile);
  Site site(read_process_facts(), &temp_files);
  return run_velloc(site, std::cout, environ, std::cin);
}

// The socket systemd passed to this process (LISTEN_PID, LISTEN_FDS), or a listening
// socket on standard input; -1 when neither.
int inherited_socket() {
  const char* listen_pid = std::getenv("LISTEN_PID");
  const char* listen_fds = std::getenv("LISTEN_FDS");
  if (listen_pid && listen_fds && std::atol(listen_pid) == static_cast<long>(getpid()) &&
      std::atoi(listen_fds) >= 1 && is_listening_socket(kSystemdFirstSocket)) {
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    return kSystemdFirstSocket;
  }
  if (!is_listening_socket(STDIN_FILENO)) return -1;
  // Programs the workers start get an ordinary standard input, not the socket.
  int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, kSystemdFirstSocket);
  int null_fd = open("/dev/null", O_RDONLY);
  if (fd < 0 || null_fd < 0) return fd < 0 ? STDIN_FILENO : fd;
  dup2(null_fd, STDIN_FILENO);
  if (null_fd != STDIN_FILENO) close(null_fd);
  return fd;
}

// The socket a server that executed this program anew handed to it; -1 when none.
int restarted_socket() {
  const char* names = std::getenv("LISTEN_FDNAMES");
  if (names == nullptr || std::string_view(names) != kRestartSocketName) return -1;
  return inherited_socket();
}

// What a server started by this process executes on SIGHUP: the program file as named now
// (an upgrade renames a new one over it), the same arguments and environment.
ServerRestart restart_of(char** argv) {
  ServerRestart restart;
  std::vector<char> path(4096);
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length > 0) restart.program.assign(path.data(), static_cast<std::size_t>(length));
  for (char** argument = argv; *argument != nullptr; ++argument)
    restart.arguments.push_back(*argument);
  for (char** entry = environ; *entry != nullptr; ++entry) restart.environment.push_back(*entry);
  return restart;
}

// What systemd asks of the server (NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID). The
// variables are taken out of the environment, so that the programs the workers start do
// not report to the manager; a server executed anew gets them back from its restart.
ServiceManager service_manager() {
  ServiceManager service;
  if (const char* socket = std::getenv("NOTIFY_SOCKET")) service.notify_socket = socket;
  service.watchdog = watchdog_interval(std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"),
                                       static_cast<long>(getpid()));
  for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
  return service;
}

int processors() {
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

// Serves `inherited` (-1: none) or the address of the options; `started_anew` when a
// server executed this program on SIGHUP and handed its socket over.
int serve(ServerOptions options, int inherited, bool started_anew, const ServerRestart& restart) {
  options.service = service_manager();
  // The metrics' counters: the block the server that executed this program handed over,
  // or a new one.
  std::optional<MetricsStore> metrics;
  const char* handed = std::getenv(std::string(kMetricsHandover).c_str());
  std::string handover_error;
  if (handed != nullptr && started_anew)
    metrics.emplace(std::atoi(handed), &handover_error);
  else
    metrics.emplace();
  unsetenv(std::string(kMetricsHandover).c_str());
  if (!handover_error.empty()) std::cerr << "velloc: " << handover_error << '\n';
  options.metrics = &*metrics;
  platform::SharedOnce settings_once;
  options.settings_once = &settings_once;
  options.started_anew = started_anew;
  platform::Wakeup delivery_wakeup;
  options.delivery_wakeup = &delivery_wakeup;
  options.deliver =
      [store = &*metrics, wakeup = &delivery_wakeup](
          const ProcessFacts& facts, int sender, const std::function<bool()>& stop,
          const std::function<void(const OutboxSummary&)>& seen) -> std::optional<OutboxSummary> {
    DeliverySender who{sender, wakeup, [&seen](const std::vector<OutboxKind>& outbox) {
                         seen(outbox_status(outbox));
                       }};
    std::optional<std::vector<OutboxKind>> outbox = run_delivery_pass(facts, stop, store, who);
    if (!outbox) return std::nullopt;
    return outbox_status(*outbox);
  };
  options.delivery_senders = [](const ProcessFacts& facts) {
    settings::SiteSettings site = settings::read_site_settings(find_settings_file(facts));
    return site.archive_anywhere ? site.smtp_connections : 0;
  };
  int listen_fd = inherited;
  if (options.address && listen_fd < 0) {
    std::string error;
    listen_fd = open_listening_socket(*options.address, &error);
    if (listen_fd < 0) {
      std::cerr << "velloc: cannot listen on " << options.address->path_or_host << ": " << error
                << '\n';
      return 1;
    }
  } else if (listen_fd < 0) {
    std::cerr << "velloc: no socket to serve: give --fastcgi ADDRESS\n";
    return kUsageError;
  }
  int status = run_fastcgi_server(listen_fd, options, read_process_facts(), restart);
  if (options.address && options.address->family == ListenAddress::Family::kUnix)
    unlink(options.address->path_or_host.c_str());
  return status;
}

std::string usage() {
  return server_usage(processors()) + check_usage() + doctor_usage() + listing_usage() +
         archive_usage() + simulate_usage();
}

bool sends(const ArchiveOptions& options) {
  return options.command == ArchiveOptions::Command::kDeliver ||
         options.command == ArchiveOptions::Command::kResend;
}

// What the shell sees: an action made already by another run, which the message
// says, exits as any other failure does.
int exit_status(int archive_status) {
  return archive_status == kArchiveDoneAlready ? kArchiveFailed : archive_status;
}

// --deliver and --resend, with the mail and webhook settings a web run reads;
// --deliver first runs the actions of submissions whose runs were killed.
int run_delivery_command_line(const ArchiveOptions& options, ArchiveStore& store,
                              const std::string& settings_file, std::int64_t now) {
  platform::TempFileRegistry temp_files;
  Site site(read_process_facts(), &temp_files);
  site.keep_smtp_connections();
  if (options.command == ArchiveOptions::Command::kDeliver) {
    std::int64_t at = options.now != 0 ? options.now : now;
    if (int status = recover_submissions(site, store, settings_file, at, std::cout, std::cerr);
        status != kArchiveOk)
      return status;
  }
  return with_delivery_settings(
      site, settings_file, 30, "deliver", std::cerr, [&](const DeliverySettings& settings) {
        return run_delivery_command(options, store, settings, now, std::cout, std::cerr);
      });
}

// An archive command, with the store the settings file names: the one given, else
// the one a web run finds.
int run_archive_command_line(const std::vector<std::string>& arguments) {
  std::string error;
  std::optional<ArchiveOptions> options = parse_archive_options(arguments, &error);
  if (!options) {
    std::cerr << "velloc: " << error << "\n" << archive_usage();
    return kUsageError;
  }
  std::string settings_file = options->settings_file;
  if (settings_file.empty()) {
    settings_file = find_settings_file(read_process_facts());
  } else if (!std::ifstream(platform::native_path(settings_file))) {
    std::cerr << "velloc: cannot read the settings file " << settings_file << '\n';
    return kArchiveFailed;
  }
  std::string connection =
      state_connection_string(settings::read_site_settings(settings_file).state_dsn, settings_file);
  std::shared_ptr<OdbcDatabase> database = OdbcDatabase::open(connection, &error);
  if (!database) {
    std::cerr << "velloc: archive not available: " << error << '\n';
    return kArchiveFailed;
  }
  std::unique_ptr<ArchiveStore> store = open_odbc_archive_store(connection, database);
  if (options->command == ArchiveOptions::Command::kRelease) {
    platform::TempFileRegistry temp_files;
    Site site(read_process_facts(), &temp_files);
    return exit_status(
        release_submission(site, *store, options->id, settings_file, "", std::cout, std::cerr));
  }
  std::int64_t now = platform::system_clock().unix_milliseconds();
  if (sends(*options))
    return exit_status(run_delivery_command_line(*options, *store, settings_file, now));
  std::unique_ptr<StateStore> state = open_odbc_state_store(database);
  return run_archive_command(*options, *store, *state, now, std::cout, std::cerr);
}

// --check: relative paths in the settings are taken from the settings file's folder,
// where the web server runs velloc.
int run_check_command_line(const std::vector<std::string>& arguments) {
  std::string error;
  std::optional<CheckOptions> options = parse_check_options(arguments, &error);
  if (!options) {
    std::cerr << "velloc: " << error << "\n" << check_usage();
    return kUsageError;
  }
  std::string file = options->settings_file;
  if (file.empty()) file = find_settings_file(read_process_facts());
  if (file.empty()) {
    std::cerr << "velloc: no settings file found; give --settings PATH\n";
    return 1;
  }
  std::size_t slash = file.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  std::vector<SettingsProblem> problems = check_settings(file, folder);
  for (SettingsProblem& problem : check_catalogues(settings::read_site_settings(file),
                                                   read_process_facts().executable_directory))
    problems.push_back(std::move(problem));
  return report_problems(problems, options->json, options->strict, std::cout);
}

// --show-settings: the declared keys with the values of the settings file given, else
// of the one a web run finds (none found: the defaults).
int run_listing_command_line(const std::vector<std::string>& arguments) {
  std::string error;
  std::optional<ListingOptions> options = parse_listing_options(arguments, &error);
  if (!options) {
    std::cerr << "velloc: " << error << "\n" << listing_usage();
    return kUsageError;
  }
  std::string file = options->settings_file;
  if (file.empty()) {
    file = find_settings_file(read_process_facts());
  } else if (!std::ifstream(platform::native_path(file))) {
    std::cerr << "velloc: cannot read the settings file " << file << '\n';
    return 1;
  }
  list_settings(file, options->json, std::cout);
  return 0;
}

// doctor: the checks of whether the site's mail will be accepted, each DNS question
// bounded and sent to DnsServer when the settings name one.
int run_doctor_command_line(const std::vector<std::string>& arguments) {
  constexpr std::chrono::seconds kLookupBound{5};
  std::string error;
  std::optional<DoctorOptions> options = parse_doctor_options(arguments, &error);
  if (!options) {
    std::cerr << "velloc: " << error << "\n" << doctor_usage();
    return kUsageError;
  }
  std::string file = options->settings_file;
  if (file.empty()) file = find_settings_file(read_process_facts());
  if (file.empty() || !std::ifstream(platform::native_path(file))) {
    std::cerr << "velloc: no settings file found; give --settings PATH\n";
    return 1;
  }
  settings::SiteSettings site = settings::read_site_settings(file);
  std::unique_ptr<DnsLookup> dns = open_dns_lookup(site.dns_server, kLookupBound, &error);
  if (!dns) {
    std::cerr << "velloc: DNS cannot be asked: " << error << '\n';
    return 1;
  }
  return report_verdicts(run_doctor(site, *dns, options->send_to), options->json, std::cout);
}

// simulate: the submission decided against the settings file given, else the one a web
// run finds, in that file's folder, where the web server runs velloc.
int run_simulate_command_line(const std::vector<std::string>& arguments) {
  std::string error;
  std::optional<SimulateOptions> options = parse_simulate_options(arguments, &error);
  if (!options) {
    std::cerr << "velloc: " << error << "\n" << simulate_usage();
    return kUsageError;
  }
  ProcessFacts facts = read_process_facts();
  std::string file =
      options->settings_file.empty() ? find_settings_file(facts) : options->settings_file;
  if (file.empty() || !std::ifstream(platform::native_path(file))) {
    std::cerr << "velloc: no settings file found; give --settings PATH\n";
    return 1;
  }
  if (!options->json_file.empty() && !options->json_file.starts_with("/") &&
      facts.working_directory.size())
    options->json_file = facts.working_directory + "/" + options->json_file;
  if (!file.starts_with("/") && !facts.working_directory.empty())
    file = facts.working_directory + "/" + file;
  std::size_t slash = file.find_last_of('/');
  std::string folder = slash == 0 ? "/" : file.substr(0, slash);
  if (chdir(folder.c_str()) != 0) {
    std::cerr << "velloc: cannot enter " << folder << '\n';
    return 1;
  }
  facts.working_directory = folder;
  platform::TempFileRegistry temp_files;
  Site site(facts, &temp_files);
  return run_simulation(site, *options, file, std::cout);
}

int run_command_line(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (is_simulate_command_line(arguments)) return run_simulate_command_line(arguments);
  if (is_listing_command_line(arguments)) return run_listing_command_line(arguments);
  if (is_check_command_line(arguments)) return run_check_command_line(arguments);
  if (is_doctor_command_line(arguments)) return run_doctor_command_line(arguments);
  if (is_archive_command_line(arguments)) return run_archive_command_line(arguments);
  std::string error;
  std::optional<ServerOptions> options = parse_server_options(arguments, processors(), &error);
  if (!options) {
    std::cerr << "velloc: " << error << "\n" << usage();
    return kUsageError;
  }
  if (options->action == ServerOptions::Action::kHelp) {
    std::cout << usage();
    return 0;
  }
  if (options->action == ServerOptions::Action::kVersion) {
    std::cout << server_version();
    return 0;
  }
  int handed = restarted_socket();
  bool started_anew = handed >= 0;
  if (handed < 0 && !options->address) handed = inherited_socket();
  return serve(*options, handed, started_anew, restart_of(argv));
}

}  // namespace

int main(int argc, char** argv) {
  // A write beyond the file-size limit then fails and is handled like a full disk,
  // instead of killing the run before the visitor has an answer.
  std::signal(SIGXFSZ, SIG_IGN);
  // A web server starting a CGI program names its interface; some pass the words of a
  // query without "=" as arguments, which never make this a server.
  if (std::getenv("GATEWAY_INTERFACE") != nullptr) return run_cgi();
  // Without a web server, any argument is an option or command; one velloc does not
  // know is refused with the usage text and sends nothing.
  if (argc > 1) return run_command_line(argc, argv);
  int inherited = restarted_socket();
  bool started_anew = inherited >= 0;
  if (!started_anew) inherited = inherited_socket();
  if (inherited < 0) return run_cgi();
  std::string error;
  return serve(*parse_server_options({}, processors(), &error), inherited, started_anew,
               restart_of(argv));
}
