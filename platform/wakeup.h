// A wake-up among processes: an event counter a server opens before it forks, so that
// the processes that keep something for later (the workers, after a commit) can wake
// those that act on it (the delivery work) at once instead of at their next look. Each
// ring is one token; a waiter takes one, so one ring wakes one waiter. Not copyable; a
// forked child uses the copy it inherits, which shares the same counter. One that could
// not be opened never rings, and its waiters sleep out their time.
#pragma once

#include <chrono>

namespace platform {

class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // Adds a token; never blocks.
  void ring();
  // Takes a token, waiting for one at most `limit`; false when none came in time.
  bool wait(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
};

}  // namespace platform
