// What the FastCGI server tells the service manager, and when: READY=1 once it serves,
// STATUS= (its workers, those stuck, the outbox) whenever its workers change and at every
// beat, WATCHDOG=1 at every beat while no worker is stuck in one request, RELOADING=1
// before it executes itself anew and STOPPING=1 when it stops. A beat comes every half
// keep-alive interval. The supervisor owns the report; `options` and `board` outlive it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "velloc/fastcgi/busy_board.h"
#include "velloc/fastcgi/server_options.h"

class ServiceReport {
 public:
  using Clock = std::chrono::steady_clock;

  ServiceReport(const ServerOptions& options, const BusyBoard& board);

  // The server serves its socket with `workers` workers: at its start, and again after
  // it could not execute itself anew.
  void ready(int workers, Clock::time_point now);
  // The number of workers now; a change is reported at once.
  void workers(int count, Clock::time_point now);
  // Sends what is due at `now`.
  void beat(Clock::time_point now);
  // Milliseconds from `now` to the next beat; -1 when there are none.
  int beat_timeout(Clock::time_point now) const;
  void reloading(Clock::time_point now);
  void stopping();

 private:
  // Sends `message` with the status; at a beat with the keep-alive too, unless a worker
  // is stuck.
  void send_status(std::string message, Clock::time_point now, bool beat);

  ServiceNotifier notifier_;
  const ServerOptions& options_;
  const BusyBoard& board_;
  Clock::duration interval_{0};  // between beats; zero: none
  Clock::time_point next_beat_;
  int workers_ = 0;
  std::optional<OutboxSummary> outbox_;
};
