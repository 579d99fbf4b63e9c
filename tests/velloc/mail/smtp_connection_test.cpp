#include "velloc/mail/smtp_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

// A connection to a server that has said `served` already (its end of a socket
// pair, open until close_server()), logging at level 15 into a scratch folder.
class Served {
 public:
  explicit Served(const std::string& served) : server_(socket_pair()), connection(client_) {
    message.log_file = dir_.file("velloc.log");
    message.log_level = 15;
    EXPECT_EQ(ssize_t(served.size()), write(server_, served.data(), served.size()));
  }
  ~Served() { close_server(); }
  Served(const Served&) = delete;
  Served& operator=(const Served&) = delete;

  void close_server() {
    if (server_ >= 0) close(server_);
    server_ = -1;
  }
  std::string logged() const { return testing_support::logged_messages(message.log_file); }

 private:
  int socket_pair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    client_ = fds[0];
    return fds[1];
  }

  testing_support::TempDir dir_;
  int client_ = -1;
  int server_;

 public:
  MailMessage message;
  SmtpConnection connection;
};

TEST(SmtpConnectionTest, LineOverItsLimitIsNeverSentAndServerSettingMayHaveAPort) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string sent;
  };
  const std::string command(505, 'x');  // "RCPT " and 505 more, CR LF: 512
  const Case cases[] = {
      {"RCPT " + command + "\n", kMaxCommandLine, "RCPT " + command + "\r\n"},
      {"RCPT " + command + "x\r\n", kMaxCommandLine, ""},
      {std::string(3000, 'x') + "\n", kMaxAuthLine, std::string(3000, 'x') + "\r\n"},
      {"DATA\n", kMaxCommandLine, "DATA\r\n"},
      {"\r\n.\r\n", kMaxCommandLine, "\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    StringSink sink;
    EXPECT_EQ(!c.sent.empty(), send_line(sink, c.text, c.limit));
    EXPECT_EQ(c.sent, sink.text);
  }
  for (const auto& [setting, expected] :
       std::vector<std::pair<std::string, std::string>>{{"mailhost", "mailhost:25"},
                                                        {"127.0.0.1:2525", "127.0.0.1:2525"},
                                                        {"host:99999", "host:99999:25"},
                                                        {"host:", "host::25"},
                                                        {"host:x1", "host:x1:25"}}) {
    ServerAddress address = parse_server_setting(setting, 25);
    EXPECT_EQ(expected, address.host + ":" + std::to_string(address.port));
  }
}

TEST(SmtpConnectionTest, EachReplyIsJudgedByItsLastLine) {
  struct Case {
    std::string served;  // then the server end is closed
    std::vector<Reply> replies;
    std::string logged;
  };
  const Case cases[] = {
      {"554-first\r\n554-second\r\n554 no\r\n354 go\r\n",
       {Reply::kNegative, Reply::kPositive},
       "MS - 554-first\r\nMS - 554-second\r\nMS - 554 no\r\nMS - 354 go\r\n"},
      {std::string("554 ").append(100 * 1024, 'x').append("\r\n250 ok\r\n"),
       {Reply::kNegative, Reply::kPositive},
       std::string("MS - 554 ").append(1990, 'x').append("MS - 250 ok\r\n")},  // log messages stop
                                                                               // at 1999
      {"250",
       {Reply::kPositive, Reply::kMalformed},
       "MS - 250MS - Mail Server Closed the Connection.\n"},  // ends at the close
      {std::string("\0\xff\x01garbage\n-\n", 13),
       {Reply::kMalformed, Reply::kMalformed},
       "MS - Malformed Reply From Mail Server.\nMS - -\nMalformed Reply From Mail Server.\n"},
      {"2\r\n25 x\r\n2500 x\r\n250x\r\n",
       {Reply::kMalformed, Reply::kMalformed, Reply::kMalformed, Reply::kMalformed},
       "MS - 2\r\nMalformed Reply From Mail Server.\nMS - 25 x\r\nMalformed Reply From Mail "
       "Server.\nMS - 2500 x\r\nMalformed Reply From Mail Server.\nMS - 250x\r\nMalformed "
       "Reply From Mail Server.\n"},
      {"550-no\r\n250 ok\r\n",  // lines that disagree on the code
       {Reply::kMalformed},
       "MS - 550-no\r\nMS - 250 ok\r\nMalformed Reply From Mail Server.\n"},
      {"", {Reply::kBroken}, ""},  // abandoned: not logged
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    Served served(c.served);
    SmtpConnection& connection = served.connection;
    served.close_server();
    if (c.served.empty()) connection.abandon();
    for (Reply expected : c.replies) EXPECT_EQ(expected, read_reply(served.message, connection));
    EXPECT_EQ(c.logged, served.logged());
  }
}

// No wait on the connection outlasts its deadline: a server that says nothing, or
// never reads what it is sent, ends the conversation as abandoned, unlogged.
TEST(SmtpConnectionTest, TheDeadlineEndsEveryWait) {
  using namespace std::chrono;
  struct Case {
    milliseconds deadline;  // from now
    std::string served;     // the server's end stays open
    std::size_t sent;       // bytes written before the reply is read
    Reply reply;
  };
  const Case cases[] = {
      {milliseconds(10000), "250 ok\r\n", 0, Reply::kPositive},
      {milliseconds(-1), "250 ok\r\n", 0, Reply::kBroken},
      {milliseconds(150), "", 0, Reply::kBroken},
      {milliseconds(150), "", 16 << 20, Reply::kBroken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deadline.count());
    Served served(c.served);
    SmtpConnection& connection = served.connection;
    auto start = steady_clock::now();
    connection.set_deadline(start + c.deadline);
    connection.write_bytes(std::string(c.sent, 'x'));
    EXPECT_EQ(c.reply, read_reply(served.message, connection));
    auto elapsed = steady_clock::now() - start;
    EXPECT_EQ(c.reply == Reply::kBroken, connection.expired());
    if (c.reply == Reply::kBroken) {
      EXPECT_GE(elapsed, c.deadline);
    }
    EXPECT_LT(elapsed, milliseconds(2000));
    EXPECT_EQ(c.reply == Reply::kPositive ? "MS - 250 ok\r\n" : "", served.logged());
  }
}

}  // namespace
