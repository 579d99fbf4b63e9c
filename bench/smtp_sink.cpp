// A fast SMTP sink for bench/run.sh: listens on an ephemeral loopback port, prints
// "port <n>" on standard output, accepts and discards every message, and on
// SIGTERM or SIGINT prints "messages <count>" and "connections <count>" and ends.
#include <signal.h>

#include <cstdio>

#include "bench/discarding_smtp_server.h"

int main() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before the server thread starts

  bench::DiscardingSmtpServer server;
  std::printf("port %d\n", server.port());
  std::fflush(stdout);
  int received = 0;
  sigwait(&stop_signals, &received);
  std::printf("messages %ld\nconnections %ld\n", server.messages(), server.connections());
  return 0;
}
