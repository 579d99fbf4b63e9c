#include "velloc/fastcgi/service_report.h"

#include <algorithm>
#include <string>

namespace {

// How often the status is brought up to date when the manager wants no keep-alive.
constexpr auto kStatusInterval = std::chrono::seconds(30);

}  // namespace

ServiceReport::ServiceReport(const ServerOptions& options, const BusyBoard& board)
    : notifier_(options.service.notify_socket), options_(options), board_(board) {
  if (!notifier_.enabled()) return;
  if (options.service.watchdog.count() > 0) {
    interval_ =
        std::max<Clock::duration>(options.service.watchdog / 2, std::chrono::milliseconds(1));
  } else {
    interval_ = kStatusInterval;
  }
}

void ServiceReport::send_status(std::string message, Clock::time_point now, bool beat) {
  int stuck = board_.stuck(now, std::chrono::seconds(options_.request_time_limit));
  if (beat && options_.service.watchdog.count() > 0 && stuck == 0) message += "WATCHDOG=1\n";
  notifier_.send(message + "STATUS=" + service_status(workers_, stuck, outbox_));
}

void ServiceReport::ready(int workers, Clock::time_point now) {
  if (!notifier_.enabled()) return;
  workers_ = workers;
  if (options_.outbox) outbox_ = options_.outbox();
  send_status("READY=1\n", now, false);
  next_beat_ = now + interval_;
}

void ServiceReport::workers(int count, Clock::time_point now) {
  if (!notifier_.enabled() || count == workers_) return;
  workers_ = count;
  send_status("", now, false);
}

void ServiceReport::beat(Clock::time_point now) {
  if (interval_.count() == 0 || now < next_beat_) return;
  if (options_.outbox) outbox_ = options_.outbox();
  send_status("", now, true);
  next_beat_ = now + interval_;
}

int ServiceReport::beat_timeout(Clock::time_point now) const {
  if (interval_.count() == 0) return -1;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_beat_ - now).count();
  return static_cast<int>(std::max<decltype(wait)>(wait, 0));
}

void ServiceReport::reloading(Clock::time_point now) {
  // systemd matches the reload by the time it was asked for.
  notifier_.send("RELOADING=1\nMONOTONIC_USEC=" + monotonic_usec(now) +
                 "\nSTATUS=starting the program anew");
}

void ServiceReport::stopping() {
  notifier_.send("STOPPING=1\nSTATUS=stopping: the requests in flight finish");
}
