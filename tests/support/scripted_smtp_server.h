// Test support: an SMTP server on 127.0.0.1 that answers as a test's script says
// and keeps every byte it receives. It serves one connection at a time on a thread
// of its own until it is destroyed.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// Script entries other than a reply, which is sent exactly as written. A reply that
// ends in kCloseConnection is sent up to it before the connection is closed.
inline const std::string kCloseConnection = "<close>";
inline const std::string kResetConnection = "<reset>";  // closed with a TCP reset
inline const std::string kAnswerNothing = "<hang>";     // from then on, on this connection

class ScriptedSmtpServer {
 public:
  // The script's entries replace the standard replies (220 greeting, 354 to DATA,
  // 221 to QUIT, 250 to the rest). A key is "" (the greeting), "." (the end of the
  // data) or the beginning of a command line; "MAIL#2" matches only the second
  // command line that begins with "MAIL".
  explicit ScriptedSmtpServer(std::map<std::string, std::string> script = {});
  ~ScriptedSmtpServer();

  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string transcript() const;             // every byte received
  std::vector<std::string> commands() const;  // command lines, without CR LF
  std::string message() const;                // the last data, without "\r\n.\r\n"
  int connections() const;                    // accepted so far

 private:
  std::string answer(const std::string& command) const;
  bool matches(const std::string& key, const std::string& command) const;
  void serve();
  void serve_client(int client);

  const std::map<std::string, std::string> script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::string transcript_, message_;
  std::vector<std::string> commands_;
  int connections_ = 0;
  std::thread thread_;
};

}  // namespace testing_support
