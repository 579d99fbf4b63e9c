#include "velloc/mail/smtp_session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "tests/support/scripted_smtp_server.h"

namespace {

using testing_support::ScriptedSmtpServer;
using testing_support::SmtpAction;
using testing_support::standard_smtp_reply;
using testing_support::TempDir;

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The standard replies, except `answer` for the commands that begin with `verb`.
testing_support::SmtpResponder replacing(std::string verb, SmtpAction answer) {
  return [verb, answer](const std::string& command) {
    return starts_with(command, verb) || (verb == "" && command.empty())
               ? answer
               : standard_smtp_reply(command);
  };
}

class SmtpSessionTest : public ::testing::Test {
 protected:
  SmtpSessionTest() {
    message.log_file = dir.file("velloc.log");
    message.log_level = 15;
    message.temp_dir = dir.file("tmp");
    message.local_host = "client.test";
    message.header_file = dir.file("tmp/header.txt");
    message.body_file = dir.file("tmp/body.txt");
    dir.write("tmp/header.txt", "From: Jo <jo@x.test>\nTo: a@x.test, b@x.test\nSubject: Hi\n");
    dir.write("tmp/body.txt", "Hello\n.\n");
  }
  SessionResult send(ScriptedSmtpServer& server, int budget = kWatchdogBudget) {
    message.smtp_server = server.address();
    message.recipient_file.clear();
    return run_mail_session(message, attachments, budget);
  }
  std::string log() { return testing_support::logged_messages(message.log_file); }
  bool logged(const std::string& text) { return log().find(text) != std::string::npos; }
  bool temp_dir_empty() { return std::filesystem::is_empty(dir.file("tmp")); }

  TempDir dir;
  MailMessage message;
  std::vector<MailAttachment> attachments;
};

constexpr char kContent[] =
    "MIME-Version: 1.0\r\nFrom: Jo <jo@x.test>\r\nTo: a@x.test, b@x.test\r\nSubject: Hi\r\n"
    "Content-Type: multipart/mixed; boundary=\"divider\"\r\n\r\n"
    "--divider\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n\r\nHello\r\n..\r\n\r\n\r\n\r\n--divider--\r\n";

TEST_F(SmtpSessionTest, DeliversAndQuits) {
  ScriptedSmtpServer server;
  EXPECT_EQ(SessionResult::kSent, send(server));
  EXPECT_EQ(
      (std::vector<std::string>{"HELO client.test", "MAIL FROM: <jo@x.test>", "RCPT TO: <a@x.test>",
                                "RCPT TO: <b@x.test>", "DATA", "QUIT"}),
      server.commands());
  EXPECT_EQ(kContent, server.message());
  EXPECT_EQ(std::string("HELO client.test\r\nMAIL FROM: <jo@x.test>\r\n"
                        "RCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\nDATA\r\n") +
                kContent + "\r\n.\r\nQUIT\r\n",
            server.transcript());
  EXPECT_TRUE(temp_dir_empty());
  EXPECT_EQ(0u, message.recipient_file.find(dir.file("tmp/BRN")));
  std::string text = log();
  EXPECT_TRUE(starts_with(text, "Connecting to Mail Server (" + server.address() +
                                    ")...\nConnected!\nMS - 220 scripted ready\r\n"
                                    "Sending: HELO client.test\nMS - 250 ok\r\n"));
  EXPECT_NE(std::string::npos,
            text.find("Now sending message originator.\nFrom: <jo@x.test>...\nMS - 250 ok\r\n"
                      "Success!\nTo: <a@x.test>...\nMS - 250 ok\r\nSuccess!\n"));
  EXPECT_NE(std::string::npos, text.find("MS - 354 go ahead\r\nMessage Data Follows:\n"));
}

TEST_F(SmtpSessionTest, NoBareLineFeedReachesTheServer) {
  dir.write("tmp/body.txt", "a\n\n.\n..x\r\n\nlast");
  ScriptedSmtpServer server;
  ASSERT_EQ(SessionResult::kSent, send(server));
  std::string wire = server.transcript();
  for (std::size_t at = wire.find('\n'); at != std::string::npos; at = wire.find('\n', at + 1))
    ASSERT_EQ('\r', wire[at - 1]) << "at " << at;
  EXPECT_NE(std::string::npos, wire.find("\r\na\r\n\r\n..\r\n...x\r\n\r\nlast\r\n\r\n"));
}

TEST_F(SmtpSessionTest, MultiLineGreetingAndRefusedHeloGoOn) {
  ScriptedSmtpServer server([](const std::string& command) {
    if (command.empty()) return SmtpAction::reply("220-one\r\n220-two\r\n220 three\r\n");
    if (starts_with(command, "HELO")) return SmtpAction::reply("501 who\r\n");
    return standard_smtp_reply(command);
  });
  EXPECT_EQ(SessionResult::kSent, send(server));
  EXPECT_EQ("MAIL FROM: <jo@x.test>", server.commands().at(1));
}

TEST_F(SmtpSessionTest, NegativeGreeting) {
  ScriptedSmtpServer server(replacing("", SmtpAction::reply("554 go away\r\n")));
  EXPECT_EQ(SessionResult::kFailed, send(server));
  EXPECT_TRUE(server.commands().empty());
  EXPECT_TRUE(logged("MS - 554 go away\r\nMail Server Not Accepting Messages."));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(SmtpSessionTest, RefusedSender) {
  ScriptedSmtpServer server(replacing("MAIL", SmtpAction::reply("550 no\r\n")));
  EXPECT_EQ(SessionResult::kSenderRefused, send(server));
  EXPECT_EQ(2u, server.commands().size());
  EXPECT_TRUE(logged("MS - 550 no\r\nError!\nError sending mail from user [jo@x.test]\n"));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(SmtpSessionTest, OneOfThreeRecipientsRefused) {
  dir.write("tmp/header.txt", "From: jo@x.test\nTo: a@x.test, bad@x.test; c@x.test\n");
  ScriptedSmtpServer server(replacing("RCPT TO: <bad@", SmtpAction::reply("550 unknown\r\n")));
  EXPECT_EQ(SessionResult::kSent, send(server));
  EXPECT_TRUE(
      logged("To: <bad@x.test>...\nMS - 550 unknown\r\nError!\n"
             "Error sending mail to user [bad@x.test]\n"));
  EXPECT_EQ("DATA", server.commands().at(5));
}

TEST_F(SmtpSessionTest, AllRecipientsRefused) {
  ScriptedSmtpServer server(replacing("RCPT", SmtpAction::reply("550 unknown\r\n")));
  EXPECT_EQ(SessionResult::kFailed, send(server));
  EXPECT_EQ(4u, server.commands().size());
  EXPECT_TRUE(logged("No valid recipients.\n"));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(SmtpSessionTest, EmptyRecipientListSendsNoData) {
  dir.write("tmp/header.txt", "From: jo@x.test\nTo: , ;\nSubject: a@x.test\n");
  ScriptedSmtpServer server;
  EXPECT_EQ(SessionResult::kFailed, send(server));
  EXPECT_EQ(2u, server.commands().size());
  EXPECT_TRUE(logged("No valid recipients.\n"));
}

TEST_F(SmtpSessionTest, RecipientWithClosingBeforeOpeningBracket) {
  dir.write("tmp/header.txt", "From: jo@x.test\nTo: x>y<z@x.test\n");
  ScriptedSmtpServer server;
  EXPECT_EQ(SessionResult::kSent, send(server));
  EXPECT_EQ("RCPT TO: <z@x.test>", server.commands().at(2));
}

TEST_F(SmtpSessionTest, DataRefused) {
  ScriptedSmtpServer server(replacing("DATA", SmtpAction::reply("554 no data\r\n")));
  EXPECT_EQ(SessionResult::kFailed, send(server));
  EXPECT_TRUE(logged("Mail Server Will Not Accept Message Data.\n"));
  EXPECT_EQ("", server.message());
}

TEST_F(SmtpSessionTest, EndOfDataRefused) {
  ScriptedSmtpServer server(replacing(".", SmtpAction::reply("552 too big\r\n")));
  EXPECT_EQ(SessionResult::kFailed, send(server));
  EXPECT_TRUE(logged("Mail Server Returned Error on EOM (End of Message).\n"));
  EXPECT_EQ("DATA", server.commands().back());
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(SmtpSessionTest, ServerClosingAtAnyPointFails) {
  for (const char* verb : {"", "HELO", "MAIL", "RCPT", "DATA", "."}) {
    SCOPED_TRACE(verb);
    dir.write("tmp/header.txt", "From: jo@x.test\nTo: a@x.test\n");
    dir.write("tmp/body.txt", "Hello\n");
    ScriptedSmtpServer server(replacing(verb, SmtpAction::close()));
    SessionResult result = send(server);
    EXPECT_TRUE(result == SessionResult::kFailed || result == SessionResult::kSenderRefused);
    EXPECT_TRUE(temp_dir_empty());
  }
}

TEST_F(SmtpSessionTest, GarbageAndHugeRepliesFail) {
  ScriptedSmtpServer garbage(
      replacing("MAIL", SmtpAction::reply(std::string("\x00\xfe garbage\r\n", 12))));
  EXPECT_EQ(SessionResult::kSenderRefused, send(garbage));
  dir.write("tmp/header.txt", "From: jo@x.test\nTo: a@x.test\n");
  dir.write("tmp/body.txt", "Hello\n");
  ScriptedSmtpServer huge(
      replacing("RCPT", SmtpAction::reply(std::string(100 * 1024, '9') + "\r\n")));
  EXPECT_EQ(SessionResult::kFailed, send(huge, 2));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(SmtpSessionTest, SilentServerIsStoppedByTheWatchdog) {
  ScriptedSmtpServer server(replacing("HELO", SmtpAction::hang()));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SessionResult::kWatchdogExpired, send(server, 1));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2500));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
  EXPECT_TRUE(temp_dir_empty());
  EXPECT_EQ(std::string::npos, log().find("Socket Error"));
}

TEST_F(SmtpSessionTest, ConnectionRefused) {
  int port = 0;
  {
    ScriptedSmtpServer closed;
    port = closed.port();
  }
  message.smtp_server = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(SessionResult::kFailed, run_mail_session(message, attachments, kWatchdogBudget));
  EXPECT_TRUE(logged("Could not connect to server (127.0.0.1), port (" + std::to_string(port) +
                     ") -- ERROR 111\n"));
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(SmtpSessionTest, UnresolvableServerName) {
  message.smtp_server = "no-such-host.invalid";
  EXPECT_EQ(SessionResult::kFailed, run_mail_session(message, attachments, kWatchdogBudget));
  EXPECT_EQ(
      "Connecting to Mail Server (no-such-host.invalid)...\n"
      "Server name (no-such-host.invalid) could not be resolved.\n",
      log());
  EXPECT_TRUE(temp_dir_empty());
}

TEST_F(SmtpSessionTest, AttachmentsMissingEmptyAndHuge) {
  dir.write("empty.bin", "");
  {
    std::FILE* file = std::fopen(dir.file("huge.bin").c_str(), "wb");
    ASSERT_TRUE(file);
    std::fseek(file, 50L * 1024 * 1024 - 1, SEEK_SET);
    std::fputc('!', file);
    std::fclose(file);
  }
  attachments = {{dir.file("missing.bin"), "missing.bin"},
                 {dir.file("empty.bin"), "empty.bin"},
                 {dir.file("huge.bin"), "huge.bin"}};
  ScriptedSmtpServer server;
  EXPECT_EQ(SessionResult::kSent, send(server));
  std::string content = server.message();
  EXPECT_EQ(std::string::npos, content.find("name=\"missing.bin\""));
  EXPECT_NE(std::string::npos,
            content.find("filename=\"empty.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                         "\r\n--divider\r\n"));
  std::size_t groups = (50u * 1024 * 1024 + 2) / 3;
  EXPECT_GT(content.size(), groups * 4 + groups / 18 * 2);
  EXPECT_NE(std::string::npos, content.find("AAAAACE=\r\n\r\n--divider--\r\n"));
  EXPECT_TRUE(temp_dir_empty());
}

}  // namespace
