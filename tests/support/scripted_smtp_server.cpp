#include "tests/support/scripted_smtp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testing_support {

namespace {

constexpr int kPollMs = 10;
const std::string kEndOfData = "\r\n.\r\n";

bool readable(int fd) {
  pollfd request = {fd, POLLIN, 0};
  return poll(&request, 1, kPollMs) > 0;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer(std::map<std::string, std::string> script)
    : script_(std::move(script)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 8) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&ScriptedSmtpServer::serve, this);
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  stopping_.store(true);
  thread_.join();
  close(listener_);
}

std::string ScriptedSmtpServer::transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_;
}

std::vector<std::string> ScriptedSmtpServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::string ScriptedSmtpServer::message() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return message_;
}

int ScriptedSmtpServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool ScriptedSmtpServer::matches(const std::string& key, const std::string& command) const {
  if (key.empty() || command.empty()) return key.empty() && command.empty();
  std::size_t mark = key.find('#');
  if (mark == std::string::npos) return command.starts_with(key);
  std::string start = key.substr(0, mark);
  long seen = 0;
  for (const std::string& line : commands_) seen += line.starts_with(start) ? 1 : 0;
  return command.starts_with(start) && seen == std::stol(key.substr(mark + 1));
}

std::string ScriptedSmtpServer::answer(const std::string& command) const {
  for (const auto& [start, reply] : script_)
    if (matches(start, command)) return reply;
  if (command.empty()) return "220 scripted ready\r\n";
  if (command.starts_with("DATA")) return "354 go ahead\r\n";
  if (command.starts_with("QUIT")) return "221 bye\r\n";
  return "250 ok\r\n";
}

void ScriptedSmtpServer::serve() {
  while (!stopping_.load()) {
    if (!readable(listener_)) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    serve_client(client);
    close(client);
  }
}

void ScriptedSmtpServer::serve_client(int client) {
  bool hanging = false;
  // False when the script closes the connection.
  auto respond = [&](const std::string& command) {
    std::string reply = answer(command);
    if (reply == kResetConnection) {
      linger reset = {1, 0};
      setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      return false;
    }
    bool closes = reply.ends_with(kCloseConnection);
    if (closes) reply.resize(reply.size() - kCloseConnection.size());
    if (reply == kAnswerNothing) {
      hanging = true;
    } else if (!reply.empty()) {
      send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    return !closes;
  };
  if (!respond("")) return;
  std::string pending;
  bool in_data = false;
  char buffer[65536];
  while (!stopping_.load()) {
    if (!readable(client)) continue;
    ssize_t count = recv(client, buffer, sizeof buffer, 0);
    if (count <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    transcript_.append(buffer, static_cast<std::size_t>(count));
    pending.append(buffer, static_cast<std::size_t>(count));
    // Every complete command line, or the complete data, in `pending`.
    for (std::size_t end;
         !hanging && (end = pending.find(in_data ? kEndOfData : "\r\n")) != std::string::npos;) {
      std::string command = in_data ? "." : pending.substr(0, end);
      if (in_data) {
        message_ = pending.substr(0, end);
      } else {
        commands_.push_back(command);
      }
      pending.erase(0, end + (in_data ? kEndOfData.size() : 2));
      bool entering_data = !in_data && command.starts_with("DATA");
      if (!respond(command)) return;
      in_data = entering_data && answer(command).starts_with("3");
    }
  }
}

}  // namespace testing_support
