// A wake-up among processes: an event counter a server opens before it forks, so that
// the processes that keep something for later (the workers, after a commit) can wake
// those that act on it (the delivery work) at once instead of at their next look. Each
// ring is one token; a waiter takes one, so one ring wakes one waiter. Not copyable; a
// forked child uses the copy it inherits, which shares the same counter. One that could
// not be opened never rings, and its waiters sleep out their time.
#pragma once

#include <sys/types.h>

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
  // Of the processes waiting, a ring wakes one, not all.
  bool wait(std::chrono::milliseconds limit);

 private:
  // This process's own watch of the counter, made at its first wait: a watch made
  // before a fork would be shared by the processes.
  int watch();

  int fd_ = -1;
  int epoll_fd_ = -1;
  pid_t epoll_owner_ = 0;
};

}  // namespace platform
