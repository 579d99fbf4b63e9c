// A worker process of the FastCGI server: takes connections from the listening socket
// it shares with the other workers and answers one request at a time through the same
// pipeline as the CGI program, the request's parameters being its environment and
// FCGI_STDIN its body. A bad request, or a client that stalls or hangs up, ends that
// request only; a connection holds the worker no longer than the limits allow.
#pragma once

#include "velloc/fastcgi/busy_board.h"
#include "velloc/fastcgi/fcgi_connection.h"
#include "velloc/site.h"

enum class WorkerEnd {
  kStopped,         // SIGTERM or SIGINT, read through stop_fd, between two requests
  kServedItsShare,  // max_requests served
  kFailed,          // the process cannot accept connections any more
};

// Serves requests for `site` until one of the ends above, each connection within
// `limits`. `stop_fd` is a signalfd for the stopping signals, which the caller keeps
// blocked; `listen_fd` is non-blocking so that workers racing for one connection never
// wait in accept. `busy` records each request from its first byte to its answer.
WorkerEnd serve_requests(Site& site, int listen_fd, int stop_fd, int max_requests,
                         const ConnectionLimits& limits, BusySlot busy);
