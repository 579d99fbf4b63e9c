#include "velloc/mail/smtp_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

TEST(SmtpConnectionTest, SentLineIsCutTo1999BytesAndServerSettingMayHaveAPort) {
  StringSink sink;
  send_line(sink, "%s\n", std::string(3000, 'x').c_str());
  EXPECT_EQ(std::string(1999, 'x'), sink.text);
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
      {"220-first\r\n220-second\r\n554 no\r\n354 go\r\n",
       {Reply::kNegative, Reply::kPositive},
       "MS - 220-first\r\nMS - 220-second\r\nMS - 554 no\r\nMS - 354 go\r\n"},
      {std::string("5").append(100 * 1024, 'x').append("\r\n250 ok\r\n"),
       {Reply::kNegative, Reply::kPositive},
       std::string("MS - 5").append(1993, 'x').append(
           "MS - 250 ok\r\n")},                                        // log messages stop at 1999
      {"250", {Reply::kPositive, Reply::kNegative}, "MS - 250MS - "},  // ends at the close
      {std::string("\0\xff\x01garbage\n-\n", 13),
       {Reply::kNegative, Reply::kNegative},
       "MS - MS - -\n"},
      {"", {Reply::kBroken}, ""},  // abandoned: not logged
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    testing_support::TempDir dir;
    MailMessage message;
    message.log_file = dir.file("velloc.log");
    message.log_level = 15;
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    SmtpConnection connection(fds[0]);
    ASSERT_EQ(ssize_t(c.served.size()), write(fds[1], c.served.data(), c.served.size()));
    close(fds[1]);
    if (c.served.empty()) connection.abandon();
    for (Reply expected : c.replies) EXPECT_EQ(expected, read_reply(message, connection));
    EXPECT_EQ(c.logged, testing_support::logged_messages(message.log_file));
  }
}

}  // namespace
