#include "tests/support/scripted_smtp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr int kPollMs = 10;
constexpr char kEndOfData[] = "\r\n.\r\n";

bool starts_with_verb(const std::string& command, const char* verb) {
  std::string upper;
  for (char c : command.substr(0, std::string(verb).size())) upper += char(std::toupper(c));
  return upper == verb;
}

void send_all(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    ssize_t count = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return;
    sent += static_cast<std::size_t>(count);
  }
}

}  // namespace

SmtpAction standard_smtp_reply(const std::string& command) {
  if (command.empty()) return SmtpAction::reply("220 scripted ready\r\n");
  if (command == ".") return SmtpAction::reply("250 queued\r\n");
  if (starts_with_verb(command, "DATA")) return SmtpAction::reply("354 go ahead\r\n");
  if (starts_with_verb(command, "QUIT")) return SmtpAction::reply("221 bye\r\n");
  for (const char* verb : {"HELO", "MAIL", "RCPT"})
    if (starts_with_verb(command, verb)) return SmtpAction::reply("250 ok\r\n");
  return SmtpAction::reply("500 what\r\n");
}

ScriptedSmtpServer::ScriptedSmtpServer(SmtpResponder responder) : responder_(std::move(responder)) {
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

std::string ScriptedSmtpServer::address() const { return "127.0.0.1:" + std::to_string(port_); }

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

void ScriptedSmtpServer::serve() {
  while (!stopping_.load()) {
    pollfd request = {listener_, POLLIN, 0};
    if (poll(&request, 1, kPollMs) <= 0) continue;
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
  if (!act(client, "", hanging)) return;
  std::string pending;
  bool in_data = false;
  char buffer[65536];
  while (!stopping_.load()) {
    pollfd request = {client, POLLIN, 0};
    if (poll(&request, 1, kPollMs) <= 0) continue;
    ssize_t count = recv(client, buffer, sizeof buffer, 0);
    if (count <= 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      transcript_.append(buffer, static_cast<std::size_t>(count));
    }
    if (hanging) continue;
    pending.append(buffer, static_cast<std::size_t>(count));
    if (!handle_input(client, pending, in_data, hanging)) return;
  }
}

// Answers every complete command (or the complete data) in `pending`. False when
// the script closed the connection.
bool ScriptedSmtpServer::handle_input(int client, std::string& pending, bool& in_data,
                                      bool& hanging) {
  while (!hanging) {
    if (in_data) {
      std::size_t end = pending.find(kEndOfData, data_scanned_);
      if (end == std::string::npos) {
        data_scanned_ = pending.size() < 4 ? 0 : pending.size() - 4;
        return true;
      }
      data_scanned_ = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        message_ = pending.substr(0, end);
      }
      pending.erase(0, end + sizeof kEndOfData - 1);
      in_data = false;
      if (!act(client, ".", hanging)) return false;
      continue;
    }
    std::size_t end = pending.find("\r\n");
    if (end == std::string::npos) return true;
    std::string command = pending.substr(0, end);
    pending.erase(0, end + 2);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back(command);
    }
    SmtpAction action = responder_(command);
    if (action.kind == SmtpAction::Kind::kReply && starts_with_verb(command, "DATA") &&
        !action.text.empty() && action.text[0] == '3')
      in_data = true;
    if (action.kind == SmtpAction::Kind::kClose) return false;
    if (action.kind == SmtpAction::Kind::kHang) hanging = true;
    send_all(client, action.text);
  }
  return true;
}

bool ScriptedSmtpServer::act(int client, const std::string& command, bool& hanging) {
  SmtpAction action = responder_(command);
  if (action.kind == SmtpAction::Kind::kClose) return false;
  if (action.kind == SmtpAction::Kind::kHang) hanging = true;
  send_all(client, action.text);
  return true;
}

}  // namespace testing_support
