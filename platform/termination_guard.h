// Cleaning up when the web server ends a run. Once armed, the guard blocks SIGTERM, SIGHUP
// and SIGINT in the arming thread (and so in every thread started afterwards), and a
// thread owned by the guard waits for them: when one arrives it waits for the registry's
// ending holds to be released (a record being written is finished, not cut), removes
// every file in the registry and ends the process by that signal. The guard also ignores
// SIGPIPE, so that a write to a web server that went away fails with EPIPE and the run
// ends through its normal paths.
//
// A run that never makes a temporary file nor takes a hold has nothing to clean up: a
// guard made with Arming::kBeforeFirstFile is armed by the registry just before the first
// file is made or the first hold taken, so such a run keeps the signals' default actions
// and starts no thread. It must then be made before any other thread, and a thread that
// could make the first file must not run beside another that leaves the signals
// unblocked. The entry point keeps the guard, with the registry, for as long as the
// process serves; the destructor stops and joins the thread.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "platform/temp_file.h"

namespace platform {

class TerminationGuard {
 public:
  enum class Arming { kAtOnce, kBeforeFirstFile };

  explicit TerminationGuard(TempFileRegistry& registry, Arming arming = Arming::kAtOnce);
  ~TerminationGuard();
  TerminationGuard(const TerminationGuard&) = delete;
  TerminationGuard& operator=(const TerminationGuard&) = delete;

 private:
  void arm();
  void wait_for_signal();

  TempFileRegistry& registry_;
  sigset_t signals_;
  sigset_t previous_mask_;
  pthread_t arming_thread_{};
  std::atomic<bool> stopping_{false};
  std::thread waiter_;
};

}  // namespace platform
