#include "velloc/mail/smtp_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

using testing_support::TempDir;

TEST(SendLineTest, LineEndsLeaveAsCrLf) {
  StringSink sink;
  send_line(sink, "DATA\n");
  send_line(sink, "\r\n.\r\n");
  send_line(sink, "RCPT TO: <%s>\r\n", "a@x");
  send_line(sink, "a\nb\r\nc");
  EXPECT_EQ("DATA\r\n\r\n.\r\nRCPT TO: <a@x>\r\na\r\nb\r\nc", sink.text);
}

TEST(SendLineTest, FormattedTextIsCutTo1999Bytes) {
  StringSink sink;
  send_line(sink, "%s\n", std::string(3000, 'x').c_str());
  EXPECT_EQ(std::string(1999, 'x'), sink.text);
}

TEST(ServerSettingTest, HostWithOptionalPort) {
  EXPECT_EQ("mailhost", parse_server_setting("mailhost", 25).host);
  EXPECT_EQ(25u, parse_server_setting("mailhost", 25).port);
  EXPECT_EQ("127.0.0.1", parse_server_setting("127.0.0.1:2525", 25).host);
  EXPECT_EQ(2525u, parse_server_setting("127.0.0.1:2525", 25).port);
  EXPECT_EQ("host:99999", parse_server_setting("host:99999", 25).host);
  EXPECT_EQ("host:", parse_server_setting("host:", 25).host);
  EXPECT_EQ(25u, parse_server_setting("host:x1", 25).port);
}

// A connected pair: the client side as an SmtpConnection, the server side raw.
class ReplyTest : public ::testing::Test {
 protected:
  ReplyTest() {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    connection = std::make_unique<SmtpConnection>(fds[0]);
    server = fds[1];
    message.log_file = dir.file("velloc.log");
    message.log_level = 15;
  }
  ~ReplyTest() override {
    if (server >= 0) close(server);
  }
  void serve(const std::string& text) {
    ASSERT_EQ(ssize_t(text.size()), write(server, text.data(), text.size()));
  }
  std::string log() { return testing_support::logged_messages(message.log_file); }

  TempDir dir;
  MailMessage message;
  std::unique_ptr<SmtpConnection> connection;
  int server = -1;
};

TEST_F(ReplyTest, MultiLineReplyIsJudgedByItsLastLine) {
  serve("220-first\r\n220-second\r\n554 no\r\n250 next\r\n");
  EXPECT_EQ(Reply::kNegative, read_reply(message, *connection));
  EXPECT_EQ(Reply::kPositive, read_reply(message, *connection));
  EXPECT_EQ("MS - 220-first\r\nMS - 220-second\r\nMS - 554 no\r\nMS - 250 next\r\n", log());
}

TEST_F(ReplyTest, ThreeHundredsArePositive) {
  serve("354 go\r\n");
  EXPECT_EQ(Reply::kPositive, read_reply(message, *connection));
}

TEST_F(ReplyTest, LongLineIsCutAndTheReplyStillEndsAtItsLineFeed) {
  serve("5" + std::string(100 * 1024, 'x') + "\r\n250 ok\r\n");
  EXPECT_EQ(Reply::kNegative, read_reply(message, *connection));
  EXPECT_EQ(Reply::kPositive, read_reply(message, *connection));
  EXPECT_EQ("MS - 5" + std::string(1993, 'x') + "MS - 250 ok\r\n",
            log());  // log messages stop at 1999
}

TEST_F(ReplyTest, ClosedConnectionEndsTheLineAtOnce) {
  serve("250");
  close(server);
  server = -1;
  EXPECT_EQ(Reply::kPositive, read_reply(message, *connection));
  EXPECT_EQ(Reply::kNegative, read_reply(message, *connection));
  EXPECT_EQ("MS - 250MS - ", log());
}

TEST_F(ReplyTest, GarbageIsNegative) {
  serve(std::string("\0\xff\x01garbage\n-\n", 13));
  EXPECT_EQ(Reply::kNegative, read_reply(message, *connection));
  EXPECT_EQ(Reply::kNegative, read_reply(message, *connection));
}

TEST_F(ReplyTest, AbandonedConnectionIsBrokenWithoutALogLine) {
  connection->abandon();
  EXPECT_EQ(Reply::kBroken, read_reply(message, *connection));
  EXPECT_EQ("", log());
}

TEST_F(ReplyTest, WritesAreSentBeforeTheNextRead) {
  send_line(*connection, "HELO %s\r\n", "me");
  serve("250 hi\r\n");
  EXPECT_EQ(Reply::kPositive, read_reply(message, *connection));
  char buffer[32] = {};
  EXPECT_EQ(9, read(server, buffer, sizeof buffer));
  EXPECT_STREQ("HELO me\r\n", std::string(buffer, 9).c_str());
}

}  // namespace
