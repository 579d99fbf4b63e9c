// An SMTP server on an ephemeral loopback port for the benchmarks: it answers every
// command positively, throws the message content away and counts the messages and
// the connections.
// It serves up to `threads` connections at a time, each thread one connection after
// the other, from construction until destruction, and may hold each reply back by a
// given delay, as a relay across the internet does.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class DiscardingSmtpServer {
 public:
  explicit DiscardingSmtpServer(std::chrono::microseconds reply_delay = {}, int threads = kThreads)
      : reply_delay_(reply_delay) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 128);
    // Non-blocking, so that a thread that loses the race for a connection polls again.
    fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { serve(); });
  }
  ~DiscardingSmtpServer() {
    stopping_ = true;
    for (std::thread& thread : threads_) thread.join();
    close(listener_);
  }
  DiscardingSmtpServer(const DiscardingSmtpServer&) = delete;
  DiscardingSmtpServer& operator=(const DiscardingSmtpServer&) = delete;

  int port() const { return port_; }
  long messages() const { return messages_; }
  long connections() const { return connections_; }

 private:
  void serve() {
    while (!stopping_) {
      pollfd request = {listener_, POLLIN, 0};
      if (poll(&request, 1, 20) <= 0) continue;
      // The connection itself blocks: accept4 does not pass O_NONBLOCK on.
      int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++connections_;
      converse(client);
      close(client);
    }
  }
  void reply(int client, const char* text) const {
    if (reply_delay_.count() > 0) std::this_thread::sleep_for(reply_delay_);
    (void)!send(client, text, std::char_traits<char>::length(text), MSG_NOSIGNAL);
  }
  // Answers one command line, or the end of the message content.
  bool answer(int client, const std::string& command, bool& in_data) {
    if (in_data) {
      in_data = false;
      ++messages_;
      reply(client, "250 queued\r\n");
    } else if (command == "DATA") {
      in_data = true;
      reply(client, "354 go\r\n");
    } else if (command == "QUIT") {
      reply(client, "221 bye\r\n");
      return false;
    } else {
      reply(client, "250 ok\r\n");
    }
    return true;
  }
  void converse(int client) {
    reply(client, "220 bench\r\n");
    std::string pending;
    bool in_data = false;
    std::vector<char> buffer(1 << 16);
    for (;;) {
      ssize_t count = recv(client, buffer.data(), buffer.size(), 0);
      if (count <= 0) return;
      pending.append(buffer.data(), static_cast<std::size_t>(count));
      for (;;) {
        std::size_t end = pending.find(in_data ? "\r\n.\r\n" : "\r\n");
        if (end == std::string::npos) {
          if (in_data && pending.size() > 4) pending.erase(0, pending.size() - 4);
          break;
        }
        std::string command = pending.substr(0, end);
        pending.erase(0, end + (in_data ? 5 : 2));
        if (!answer(client, command, in_data)) return;
      }
    }
  }

  static constexpr int kThreads = 8;

  std::chrono::microseconds reply_delay_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<long> messages_{0};
  std::atomic<long> connections_{0};
  std::vector<std::thread> threads_;
};

}  // namespace bench
