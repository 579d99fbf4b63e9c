#include "velloc/fastcgi/worker.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <istream>
#include <memory>
#include <ostream>

#include "velloc/fastcgi/fcgi_streams.h"
#include "velloc/pipeline.h"

namespace {

constexpr char kParametersRefused[] =
    "Status: 431 Request Header Fields Too Large\r\nContent-Type: text/html\r\n\r\n"
    "<HTML>\n<H1>CGI Initialization Error</H1>\n</HTML>";

enum class Work { kStop, kRequest, kIdleOver, kNewConnection };

// What comes first: a stopping signal, the held connection's request, the end of its
// idle time, or a new connection. A connection that has not sent its first request yet
// is waited for alone; one kept after an answer gives way to a waiting connection. Once
// `stopping`, only the held connection is waited for.
Work wait_for_work(int listen_fd, int stop_fd, const FcgiConnection* held, bool fresh,
                   bool stopping) {
  for (;;) {
    int timeout = -1;
    if (held) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(held->idle_deadline() -
                                                               FcgiConnection::Clock::now());
      timeout = static_cast<int>(std::max<decltype(left.count())>(left.count(), 0));
    }
    pollfd watched[] = {{stopping ? -1 : stop_fd, POLLIN, 0},
                        {held ? held->fd() : -1, POLLIN, 0},
                        {(held && fresh) || stopping ? -1 : listen_fd, POLLIN, 0}};
    int ready = poll(watched, 3, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Work::kStop;
    }
    if (watched[0].revents != 0) return Work::kStop;
    if (watched[1].revents != 0) return Work::kRequest;
    if (watched[2].revents != 0) return Work::kNewConnection;
    if (ready == 0) return Work::kIdleOver;
  }
}

// Whether a request has begun to arrive on a connection kept after an answer.
bool request_waiting(const FcgiConnection& held) {
  pollfd watched{held.fd(), POLLIN, 0};
  return poll(&watched, 1, 0) > 0;
}

constexpr int kNoConnection = -1;
constexpr int kCannotAccept = -2;

// A connection from the listening socket; kNoConnection when another worker was
// quicker or the client is gone already, kCannotAccept when the process is out of
// descriptors or memory.
int accept_connection(int listen_fd) {
  int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) return fd;
  bool exhausted = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
  bool closed = errno == EINVAL || errno == EBADF;  // the socket no longer listens
  return exhausted || closed ? kCannotAccept : kNoConnection;
}

// Answers the request read from `connection`; whatever goes wrong inside the pipeline
// is its answer.
void answer_request(Site& site, FcgiConnection& connection, FcgiConnection::Start start) {
  FcgiOutputBuffer answer_buffer(connection);
  std::ostream answer(&answer_buffer);
  if (start == FcgiConnection::Start::kParametersRefused) {
    answer << kParametersRefused << std::flush;
    return;
  }
  FcgiInputBuffer body_buffer(connection);
  std::istream body(&body_buffer);
  serve_request(site, connection.environment(), body, answer);
}

}  // namespace

WorkerEnd serve_requests(Site& site, int listen_fd, int stop_fd, int max_requests,
                         const ConnectionLimits& limits, BusySlot busy) {
  std::unique_ptr<FcgiConnection> held;
  bool fresh = false;  // accepted, its first request still to come
  // Asked to stop while a connection it accepted has not sent its request yet, or while a
  // request arrives on a kept one: the web server is sending it and gets its answer
  // before the worker ends.
  bool stopping = false;
  for (int served = 0; served < max_requests;) {
    Work work = wait_for_work(listen_fd, stop_fd, held.get(), fresh, stopping);
    if (work == Work::kStop) {
      if (!held || !(fresh || request_waiting(*held))) return WorkerEnd::kStopped;
      stopping = true;
      continue;
    }
    if (work == Work::kIdleOver) {
      held.reset();
      if (stopping) return WorkerEnd::kStopped;
      continue;
    }
    if (work == Work::kNewConnection) {
      held.reset();  // an idle kept connection gives way to a waiting one
      int fd = accept_connection(listen_fd);
      if (fd == kCannotAccept) return WorkerEnd::kFailed;
      if (fd != kNoConnection) held = std::make_unique<FcgiConnection>(fd, limits);
      fresh = true;
      continue;
    }
    busy.begin(BusySlot::Clock::now());
    FcgiConnection::Start start = held->read_request();
    if (start == FcgiConnection::Start::kGone) {
      busy.end();
      held.reset();
      if (stopping) return WorkerEnd::kStopped;
      continue;
    }
    ++served;
    answer_request(site, *held, start);
    fresh = false;
    if (!held->finish()) held.reset();
    busy.end();
    if (stopping) return WorkerEnd::kStopped;
  }
  return WorkerEnd::kServedItsShare;
}
