#include "platform/wakeup.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {}

Wakeup::~Wakeup() {
  if (fd_ >= 0) close(fd_);
  if (epoll_fd_ >= 0 && epoll_owner_ == getpid()) close(epoll_fd_);
}

int Wakeup::watch() {
  if (epoll_fd_ >= 0 && epoll_owner_ == getpid()) return epoll_fd_;
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  epoll_owner_ = getpid();
  // Exclusive: a ring wakes one of the processes watching, where a poll of the counter
  // would wake them all for one token.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  if (epoll_fd_ >= 0 && epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd_, &event) != 0) {
    close(epoll_fd_);
    epoll_fd_ = -1;
  }
  return epoll_fd_;
}

void Wakeup::ring() {
  std::uint64_t one = 1;
  if (fd_ >= 0) (void)!write(fd_, &one, sizeof one);
}

bool Wakeup::wait(std::chrono::milliseconds limit) {
  Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    std::uint64_t token = 0;
    // Another waiter may take the token that woke this one: then it waits on.
    if (fd_ >= 0 && read(fd_, &token, sizeof token) == static_cast<ssize_t>(sizeof token))
      return true;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (fd_ < 0) {
      poll(nullptr, 0, static_cast<int>(left));
      continue;
    }
    if (int watching = watch(); watching >= 0) {
      epoll_event event{};
      epoll_wait(watching, &event, 1, static_cast<int>(left));
      continue;
    }
    pollfd watched{fd_, POLLIN, 0};
    poll(&watched, 1, static_cast<int>(left));
  }
}

}  // namespace platform
