// A fast SMTP sink for the benchmarks: listens on an ephemeral loopback port, prints
// "port <n>" on standard output, accepts and discards every message; prints
// "messages <count>" and "connections <count>" on SIGUSR1 and, ending, on SIGTERM
// or SIGINT.
//
//   smtp_sink [--delay MILLISECONDS] [--connections N]
//
// --delay holds every reply back (a relay across the internet: 25); --connections is
// how many conversations it holds at once (8).
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "bench/discarding_smtp_server.h"

int main(int argc, char** argv) {
  double delay_ms = 0;
  int connections = 8;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view option = argv[i];
    if (option == "--delay") delay_ms = std::atof(argv[i + 1]);
    if (option == "--connections") connections = std::atoi(argv[i + 1]);
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the server threads start

  bench::DiscardingSmtpServer server(std::chrono::microseconds(static_cast<long>(delay_ms * 1000)),
                                     connections > 0 ? connections : 8);
  std::printf("port %d\n", server.port());
  std::fflush(stdout);
  int received = 0;
  for (;;) {
    sigwait(&signals, &received);
    std::printf("messages %ld\nconnections %ld\n", server.messages(), server.connections());
    std::fflush(stdout);
    if (received != SIGUSR1) return 0;
  }
}
