// Test support: an SMTP server on 127.0.0.1 whose replies a test scripts, and which
// keeps a transcript of every byte it receives. It serves one connection at a time
// on a thread of its own until it is destroyed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct SmtpAction {
  enum class Kind { kReply, kClose, kHang };
  Kind kind = Kind::kReply;
  std::string text;  // sent exactly as written for kReply

  static SmtpAction reply(std::string text) { return {Kind::kReply, std::move(text)}; }
  static SmtpAction close() { return {Kind::kClose, ""}; }
  static SmtpAction hang() { return {Kind::kHang, ""}; }
};

// Decides the answer to "" (a new connection: the greeting), to each command line
// (without its CR LF) and to "." (the end of data).
using SmtpResponder = std::function<SmtpAction(const std::string& command)>;

// 220 greeting, 250 to HELO, MAIL, RCPT, ".", 354 to DATA, 221 to QUIT, 500 else.
SmtpAction standard_smtp_reply(const std::string& command);

class ScriptedSmtpServer {
 public:
  explicit ScriptedSmtpServer(SmtpResponder responder = standard_smtp_reply);
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>", as the SMTP setting takes it.
  std::string address() const;

  std::string transcript() const;             // every byte received
  std::vector<std::string> commands() const;  // command lines, without CR LF
  std::string message() const;                // the last DATA content, without "\r\n.\r\n"
  int connections() const;

 private:
  void serve();
  void serve_client(int client);
  bool handle_input(int client, std::string& pending, bool& in_data, bool& hanging);
  bool act(int client, const std::string& command, bool& hanging);

  SmtpResponder responder_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::string transcript_;
  std::vector<std::string> commands_;
  std::string message_;
  int connections_ = 0;
  std::size_t data_scanned_ = 0;  // where the search for the end of data resumes
  std::thread thread_;
};

}  // namespace testing_support
