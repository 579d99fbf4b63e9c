#include "platform/termination_guard.h"

#include <unistd.h>

#include <atomic>
#include <iterator>

namespace platform {

namespace {

// The signals that end a run, then the one that ends the wait for the holds.
constexpr int kHandledSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGALRM};
// How long a write under an ending hold may keep a process that was told to end.
constexpr unsigned kHoldLimitSeconds = 10;

// The armed guard, for the signal handler, which has no other way to it.
std::atomic<TerminationGuard*> armed_guard{nullptr};

}  // namespace

TerminationGuard::TerminationGuard(TempFileRegistry& registry, Arming arming)
    : registry_(registry) {
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
  if (!armed_) return;
  alarm(0);
  for (std::size_t i = 0; i < std::size(kHandledSignals); ++i)
    sigaction(kHandledSignals[i], &previous_[i], nullptr);
  armed_guard = nullptr;
  registry_.call_when_deferred_can_end(nullptr);
}

void TerminationGuard::arm() {
  arming_thread_ = pthread_self();
  armed_ = true;
  armed_guard = this;
  registry_.call_when_deferred_can_end([this](int signal_number) {
    alarm(0);
    end_or_defer(signal_number, false);
  });
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kHandledSignals) sigaddset(&action.sa_mask, signal_number);
  for (std::size_t i = 0; i < std::size(kHandledSignals); ++i)
    sigaction(kHandledSignals[i], &action, &previous_[i]);
}

void TerminationGuard::on_signal(int signal_number) {
  TerminationGuard* guard = armed_guard;
  if (guard == nullptr) return;
  if (!pthread_equal(pthread_self(), guard->arming_thread_)) {
    pthread_kill(guard->arming_thread_, signal_number);
    return;
  }
  if (signal_number != SIGALRM) {
    bool first = guard->registry_.deferred_signal() == 0;
    guard->end_or_defer(signal_number, false);
    // Deferred: the holds get their time, counted from the first signal.
    if (first) alarm(kHoldLimitSeconds);
    return;
  }
  int deferred = guard->registry_.deferred_signal();
  if (deferred == 0) return;
  guard->end_or_defer(deferred, true);
  alarm(1);  // a file was being listed: once more in a moment
}

void TerminationGuard::end_or_defer(int signal_number, bool past_holds) {
  if (registry_.remove_all_or_defer(signal_number, past_holds)) end_by(signal_number);
}

void TerminationGuard::end_by(int signal_number) {
  // End the way the signal would have ended an unguarded process.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(signal_number, &default_action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

}  // namespace platform
