// A worker process of the FastCGI server: takes connections from the listening socket
// it shares with the other workers and answers one request at a time through the same
// pipeline as the CGI program, the request's parameters being its environment and
// FCGI_STDIN its body. A bad request, or a client that stalls or hangs up, ends that
// request only.
#pragma once

#include <cstddef>

#include "velloc/site.h"

// Bounds on a request's parameters, as the exec of a CGI program bounds its environment.
inline constexpr std::size_t kMaxParamBytes = 128 * 1024;    // one name=value
inline constexpr std::size_t kMaxParamsBytes = 1024 * 1024;  // all of them together
inline constexpr int kClientTimeoutSeconds = 30;             // a stalled read or write

// True when the environment `parameters` keeps within the bounds above.
bool parameters_within_limits(const char* const* parameters);

enum class WorkerEnd {
  kStopped,         // SIGTERM or SIGINT, read through stop_fd, between two requests
  kServedItsShare,  // max_requests served
  kFailed,          // the process cannot accept connections any more
};

// Serves requests for `site` until one of the ends above. `stop_fd` is a signalfd for the
// stopping signals, which the caller keeps blocked; `listen_fd` is non-blocking so that
// workers racing for one connection never wait in accept. Requires FCGX_Init.
WorkerEnd serve_requests(Site& site, int listen_fd, int stop_fd, int max_requests);
