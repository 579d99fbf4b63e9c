// Cleaning up when the web server ends a run. The guard blocks SIGTERM, SIGHUP and SIGINT
// in the thread that makes it (and so in every thread started afterwards) and ignores
// SIGPIPE, so that a write to a web server that went away fails with EPIPE and the run
// ends through its normal paths. A thread owned by the guard waits for the blocked signals;
// when one arrives it removes every file in the registry and ends the process by that
// signal. The entry point makes the guard before any other thread and keeps it, with the
// registry, for as long as the process serves; the destructor stops and joins the thread.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

#include "platform/temp_file.h"

namespace platform {

class TerminationGuard {
 public:
  explicit TerminationGuard(TempFileRegistry& registry);
  ~TerminationGuard();
  TerminationGuard(const TerminationGuard&) = delete;
  TerminationGuard& operator=(const TerminationGuard&) = delete;

 private:
  void wait_for_signal();

  TempFileRegistry& registry_;
  sigset_t signals_;
  sigset_t previous_mask_;
  std::atomic<bool> stopping_{false};
  std::thread waiter_;
};

}  // namespace platform
