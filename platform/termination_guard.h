// Cleaning up when the web server ends a run. Once armed, the guard handles SIGTERM, SIGHUP
// and SIGINT: when one arrives it waits for the registry's ending holds to be released (a
// record being written is finished, not cut), removes every file in the registry and ends
// the process by that signal. The guard also ignores SIGPIPE, so that a write to a web
// server that went away fails with EPIPE and the run ends through its normal paths.
//
// The guard starts no thread: its handler does the work on the thread that armed it (a
// signal that reaches another thread is passed on to that one), at once when no file is
// being listed and no hold is taken, else as soon as the change is done or the last hold
// released; holds get 10 s (SIGALRM), so that a write that never ends cannot keep the
// process. The handler finds the armed guard through the one process-wide pointer this
// unit keeps; a process arms one guard at a time.
//
// A run that never makes a temporary file nor takes a hold has nothing to clean up: a
// guard made with Arming::kBeforeFirstFile is armed by the registry just before the first
// file is made or the first hold taken, so such a run keeps the signals' default actions.
// The entry point keeps the guard, with the registry, for as long as the process serves;
// the destructor gives the signals their former actions back.
#pragma once

#include <pthread.h>
#include <signal.h>

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
  static void on_signal(int signal_number);
  void arm();
  // Removes what is left of the registry when it can, else defers; ends the process by
  // `signal_number` when it removed them.
  void end_or_defer(int signal_number, bool past_holds);
  [[noreturn]] static void end_by(int signal_number);

  TempFileRegistry& registry_;
  pthread_t arming_thread_{};
  bool armed_ = false;
  struct sigaction previous_[4] = {};
};

}  // namespace platform
