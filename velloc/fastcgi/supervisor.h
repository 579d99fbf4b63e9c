// The FastCGI server: a supervisor process that keeps a number of worker processes
// serving on one listening socket. It replaces a worker that dies (and logs the death
// in velloc's log) or that has served its share of requests; on SIGTERM or SIGINT it
// stops them all, letting requests in flight finish within the time a mail send may
// take, and returns. The caller keeps owning the listening socket's number; the server
// closes it when it stops accepting.
#pragma once

#include <chrono>

#include "velloc/fastcgi/server_options.h"
#include "velloc/mail/smtp_session.h"
#include "velloc/site.h"

// How long requests in flight may take to finish after SIGTERM: a mail send under the
// watchdog (50 ms polls) and a margin.
inline constexpr auto kDrainTime =
    std::chrono::milliseconds(kWatchdogBudget * 50 * 50) + std::chrono::seconds(10);

// Serves until SIGTERM or SIGINT; returns the exit status (0 after a clean stop, 1 when
// the server could not start). Each worker keeps a Site of its own made from `facts`.
int run_fastcgi_server(int listen_fd, const ServerOptions& options, const ProcessFacts& facts);
