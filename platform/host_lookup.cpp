#include "platform/host_lookup.h"

#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>

#include <memory>

namespace platform {

namespace {

// One request to the resolver's own threads, which write into it until it is done.
struct PendingLookup {
  std::string name;
  addrinfo hints = {};
  gaicb request = {};
};

// Waits until the request is done or `deadline` has passed; its gai_error then.
int wait_for(gaicb* request, std::chrono::steady_clock::time_point deadline) {
  int status;
  while ((status = gai_error(request)) == EAI_INPROGRESS) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timespec timeout = {static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    gai_suspend(&request, 1, &timeout);
  }
  return status;
}

}  // namespace

HostLookup look_up_ipv4_host(const std::string& host, std::chrono::milliseconds bound) {
  auto lookup = std::make_unique<PendingLookup>();
  lookup->name = host;
  lookup->hints.ai_family = AF_INET;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* requests[] = {&lookup->request};
  sigevent no_signal = {};
  no_signal.sigev_notify = SIGEV_NONE;
  int status = getaddrinfo_a(GAI_NOWAIT, requests, 1, &no_signal);
  if (status == 0) status = wait_for(&lookup->request, std::chrono::steady_clock::now() + bound);
  if (status == EAI_INPROGRESS && gai_cancel(&lookup->request) == EAI_NOTCANCELED) {
    // The resolver's thread still writes into the request: it is left to it, one
    // small block for the rest of the process (the resolver's queue still holds it).
    static_cast<void>(lookup.release());
    return {HostLookup::Outcome::kTimedOut, ""};
  }
  if (lookup->request.ar_result) freeaddrinfo(lookup->request.ar_result);
  if (status == EAI_INPROGRESS) return {HostLookup::Outcome::kTimedOut, ""};
  if (status == 0) return {};
  return {HostLookup::Outcome::kNotFound, gai_strerror(status)};
}

}  // namespace platform
