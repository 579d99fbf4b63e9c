#include "velloc/fastcgi/worker.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <ostream>

#include "velloc/fastcgi/fcgi_streams.h"
#include "velloc/pipeline.h"

namespace {

constexpr char kParametersRefused[] =
    "Status: 431 Request Header Fields Too Large\r\nContent-Type: text/html\r\n\r\n"
    "<HTML>\n<H1>CGI Initialization Error</H1>\n</HTML>";

enum class Work { kStop, kKeptConnection, kNewConnection };

Work wait_for_work(int listen_fd, int stop_fd, int kept_fd) {
  for (;;) {
    pollfd watched[] = {{stop_fd, POLLIN, 0}, {kept_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}};
    if (poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return Work::kStop;
    }
    if (watched[0].revents != 0) return Work::kStop;
    if (watched[1].revents != 0) return Work::kKeptConnection;
    if (watched[2].revents != 0) return Work::kNewConnection;
  }
}

constexpr int kNoConnection = -1;
constexpr int kCannotAccept = -2;

// A connection from the listening socket, with time limits on its reads and writes;
// kNoConnection when another worker was quicker or the client is gone already,
// kCannotAccept when the process is out of descriptors or memory.
int accept_connection(int listen_fd) {
  int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    bool exhausted = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
    bool closed = errno == EINVAL || errno == EBADF;  // the socket no longer listens
    return exhausted || closed ? kCannotAccept : kNoConnection;
  }
  timeval limit{kClientTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  return fd;
}

// Answers the accepted request; whatever goes wrong inside the pipeline is its answer.
void answer_request(Site& site, FCGX_Request& request) {
  FcgiOutputBuffer answer_buffer(request.out);
  std::ostream answer(&answer_buffer);
  if (!parameters_within_limits(request.envp)) {
    answer << kParametersRefused << std::flush;
    return;
  }
  FcgiInputBuffer body_buffer(request.in);
  std::istream body(&body_buffer);
  serve_request(site, request.envp, body, answer);
}

}  // namespace

bool parameters_within_limits(const char* const* parameters) {
  std::size_t total = 0;
  for (const char* const* entry = parameters; entry && *entry; ++entry) {
    std::size_t length = std::strlen(*entry);
    if (length > kMaxParamBytes) return false;
    total += length + 1;
    if (total > kMaxParamsBytes) return false;
  }
  return true;
}

WorkerEnd serve_requests(Site& site, int listen_fd, int stop_fd, int max_requests) {
  FCGX_Request request;
  // No listening socket for the library: it never accepts, the worker hands it each
  // connection (a malformed one makes it give up instead of waiting in accept).
  FCGX_InitRequest(&request, -1, 0);
  WorkerEnd end = WorkerEnd::kServedItsShare;
  for (int served = 0; served < max_requests;) {
    Work work = wait_for_work(listen_fd, stop_fd, request.ipcFd);
    if (work == Work::kStop) {
      end = WorkerEnd::kStopped;
      break;
    }
    if (work == Work::kNewConnection) {
      FCGX_Free(&request, 1);  // an idle kept connection gives way to a waiting one
      int fd = accept_connection(listen_fd);
      if (fd == kCannotAccept) {
        end = WorkerEnd::kFailed;
        break;
      }
      if (fd == kNoConnection) continue;
      request.ipcFd = fd;
    }
    // Keeps the library from closing the connection just handed to it.
    request.keepConnection = 1;
    if (FCGX_Accept_r(&request) != 0) continue;
    ++served;
    answer_request(site, request);
    FCGX_Finish_r(&request);
  }
  FCGX_Free(&request, 1);
  return end;
}
