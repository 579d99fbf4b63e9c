#include "platform/termination_guard.h"

#include <pthread.h>

namespace platform {

namespace {
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT};
// How long a write under an ending hold may keep a process that was told to end.
constexpr int kHoldLimitMilliseconds = 10000;
}  // namespace

TerminationGuard::TerminationGuard(TempFileRegistry& registry, Arming arming)
    : registry_(registry) {
  sigemptyset(&signals_);
  for (int signal_number : kEndingSignals) sigaddset(&signals_, signal_number);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
  if (arming == Arming::kAtOnce)
    arm();
  else
    registry_.call_before_first_file([this] { arm(); });
}

TerminationGuard::~TerminationGuard() {
  registry_.call_before_first_file(nullptr);
  if (!waiter_.joinable()) return;
  stopping_ = true;
  pthread_kill(waiter_.native_handle(), SIGTERM);
  waiter_.join();
  if (pthread_equal(arming_thread_, pthread_self()))
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

void TerminationGuard::arm() {
  pthread_sigmask(SIG_BLOCK, &signals_, &previous_mask_);
  arming_thread_ = pthread_self();
  waiter_ = std::thread([this] { wait_for_signal(); });
}

void TerminationGuard::wait_for_signal() {
  int signal_number = 0;
  if (sigwait(&signals_, &signal_number) != 0 || stopping_) return;
  registry_.wait_for_no_hold(kHoldLimitMilliseconds);
  registry_.remove_all();
  // End the way the signal would have ended an unguarded process.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(signal_number, &default_action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
}

}  // namespace platform
