// The FastCGI server: a supervisor process that keeps a number of worker processes
// serving on one listening socket. It replaces a worker that dies (and logs the death
// in velloc's log) or that has served its share of requests; on SIGTERM or SIGINT it
// stops them all, letting requests in flight finish within the time a mail send may
// take, and returns. On SIGHUP it executes the program file anew in its own process (an
// upgrade renamed a new one over it): the process keeps its id and its listening socket,
// handed over as systemd hands one (LISTEN_FDS, named kRestartSocketName), and the old
// workers finish their requests in flight while the new program starts its own. The caller keeps
// owning the listening socket's number; the server closes it when it stops accepting.
// It logs its start and its stop, and keeps the service manager told how it is
// (service_report.h).
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/fastcgi/server_options.h"
#include "velloc/mail/smtp_session.h"
#include "velloc/site.h"

// How long requests in flight may take to finish after SIGTERM: a mail send under the
// watchdog (50 ms polls) and a margin.
inline constexpr auto kDrainTime =
    std::chrono::milliseconds(kWatchdogBudget * 50 * 50) + std::chrono::seconds(10);

// The name the listening socket carries (LISTEN_FDNAMES) when a server hands it to the
// program it executes anew: that program serves it even when its command line says where to
// listen.
inline constexpr std::string_view kRestartSocketName = "velloc-restart";

// The environment variable that names the descriptor of the metrics' counters handed to
// the program executed anew, which goes on counting in them.
inline constexpr std::string_view kMetricsHandover = "VELLOC_METRICS_FD";

// What the server executes on SIGHUP: the program file as it was named at the start, with
// the same arguments and environment (without any LISTEN_ variables).
struct ServerRestart {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
};

// Serves until SIGTERM or SIGINT; returns the exit status (0 after a clean stop, 1 when
// the server could not start). Each worker keeps a Site of its own made from `facts`.
// On SIGHUP the process becomes `restart` (when it cannot, it goes on serving and logs why).
int run_fastcgi_server(int listen_fd, const ServerOptions& options, const ProcessFacts& facts,
                       const ServerRestart& restart);
