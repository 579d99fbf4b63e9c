#include "velloc/mail/smtp_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "tests/support/mime_boundary.h"
#include "tests/support/scripted_smtp_server.h"

namespace {

using testing_support::kAnswerNothing;
using testing_support::kCloseConnection;
using testing_support::kResetConnection;
using testing_support::ScriptedSmtpServer;
using testing_support::TempDir;

constexpr char kHeader[] = "From: Jo <jo@x.test>\nTo: a@x.test, x>y<b@x.test\nSubject: Hi\n";

class SmtpSessionTest : public ::testing::Test {
 protected:
  SmtpSessionTest() {
    message.log_file = dir.file("velloc.log");
    message.log_level = 15;
    message.local_host = "client.test";
    message.header_file = dir.file("header.txt");
    message.body_file = dir.file("body.txt");
  }
  // Sends the message (written afresh) to `server` and checks that every file of
  // the session is gone afterwards.
  SessionResult send(const std::string& server, const std::string& header = kHeader,
                     int budget = kWatchdogBudget) {
    std::filesystem::remove(message.log_file);
    message.log = std::make_shared<LogFile>();  // a new run opens the log afresh
    std::filesystem::create_directories(dir.file("tmp"));
    message.temp_dir = dir.file("tmp");
    dir.write("header.txt", header);
    dir.write("body.txt", "Hello\n.\n..x\r\n\nlast");
    message.smtp_server = server;
    message.recipient_file.clear();
    SessionResult result = run_mail_session(message, {}, budget);
    EXPECT_FALSE(dir.exists("header.txt"));
    EXPECT_FALSE(dir.exists("body.txt"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("tmp")));
    return result;
  }
  std::string log() { return testing_support::logged_messages(message.log_file); }

  TempDir dir;
  MailMessage message;
};

TEST_F(SmtpSessionTest, DeliversTheExactCommandsAndContent) {
  ScriptedSmtpServer server;
  EXPECT_EQ(SessionResult::kSent, send(server.address()));
  const std::string content =
      "MIME-Version: 1.0\r\nFrom: Jo <jo@x.test>\r\nTo: a@x.test, x>y<b@x.test\r\nSubject: Hi\r\n"
      "Content-Type: multipart/mixed; boundary=\"divider\"\r\n\r\n"
      "--divider\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
      "Content-Transfer-Encoding: 7bit\r\n\r\nHello\r\n..\r\n...x\r\n\r\nlast\r\n\r\n\r\n"
      "--divider--\r\n";
  EXPECT_EQ(
      "HELO client.test\r\nMAIL FROM: <jo@x.test>\r\nRCPT TO: <a@x.test>\r\n"
      "RCPT TO: <b@x.test>\r\nDATA\r\n" +
          content + "\r\n.\r\nQUIT\r\n",
      testing_support::with_fixed_boundary(
          testing_support::without_date_and_id(server.transcript())));
  EXPECT_EQ(content, testing_support::with_fixed_boundary(
                         testing_support::without_date_and_id(server.message())));
  EXPECT_EQ(0u, message.recipient_file.find(dir.file("tmp/BRN")));
  EXPECT_EQ("Connecting to Mail Server (" + server.address() +
                ")...\nConnected!\n"
                "MS - 220 scripted ready\r\nSending: HELO client.test\nMS - 250 ok\r\n"
                "VLAPI - TEMP FILE '" +
                message.recipient_file +
                "'\n"
                "Now sending message originator.\nFrom: <jo@x.test>...\nMS - 250 ok\r\nSuccess!\n"
                "To: <a@x.test>...\nMS - 250 ok\r\nSuccess!\n"
                "To: <b@x.test>...\nMS - 250 ok\r\nSuccess!\n"
                "MS - 354 go ahead\r\nMessage Data Follows:\n"
                "MIME-Version: 1.0\nFrom: Jo <jo@x.test>\nTo: a@x.test, x>y<b@x.test\nSubject: Hi\n"
                "Sending Message Body...\nHello\n.\n..x\r\n\nlastMessage Body Sent.\n"
                "MS - 250 ok\r\nMS - 221 bye\r\n",
            testing_support::without_date_and_id(log()));
}

TEST_F(SmtpSessionTest, EveryOutcomeHasItsResultAndLogLine) {
  struct Case {
    std::map<std::string, std::string> script;
    std::string header;
    SessionResult result;
    std::string logged;
    std::string last_command;  // the last command the server received
  };
  const Case cases[] = {
      {{{"", "220-one\r\n220 two\r\n"}, {"HELO", "501 who\r\n"}, {"RCPT TO: <a@", "550 no\r\n"}},
       kHeader,
       SessionResult::kSent,  // a refused HELO or recipient is passed over
       "To: <a@x.test>...\nMS - 550 no\r\nError!\nError sending mail to user [a@x.test]\n",
       "QUIT"},
      {{{"MAIL", "550 no\r\n"}},
       kHeader,
       SessionResult::kSenderRefused,
       "MS - 550 no\r\nError!\nError sending mail from user [jo@x.test]\n",
       "MAIL FROM: <jo@x.test>"},
      {{{"MAIL", std::string("\0\xfe garbage\r\n", 12)}},
       kHeader,
       SessionResult::kFailed,
       "MS - Malformed Reply From Mail Server.\n",
       "MAIL FROM: <jo@x.test>"},
      {{{"HELO", "hello there\r\n"}},  // a reply without a code, though not judged
       kHeader,
       SessionResult::kFailed,
       "MS - hello there\r\nMalformed Reply From Mail Server.\n",
       "HELO client.test"},
      {{{"QUIT", "2\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "MS - 2\r\nMalformed Reply From Mail Server.\n",
       "QUIT"},
      {{{"", "554 go away\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "MS - 554 go away\r\nMail Server Not Accepting Messages.",
       ""},
      {{{"", kCloseConnection}},
       kHeader,
       SessionResult::kFailed,
       "MS - Mail Server Closed the Connection.\nMail Server Not Accepting Messages.",
       ""},
      {{},
       "From: <>\nTo: a@x.test\n",
       SessionResult::kFailed,
       "Fatal Error: No Sender Specified.\n",
       "HELO client.test"},
      {{},
       "From: jo@x.test\nTo: , ;\nSubject: a@x.test\n",
       SessionResult::kFailed,
       "MS - 250 ok\r\nSuccess!\nNo valid recipients.\n",
       "MAIL FROM: <jo@x.test>"},
      {{{"RCPT", "550 unknown\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "Error sending mail to user [b@x.test]\nNo valid recipients.\n",
       "RCPT TO: <b@x.test>"},
      {{{"RCPT", std::string(100 * 1024, '9') + "\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "Malformed Reply From Mail Server.\n",
       "RCPT TO: <a@x.test>"},
      {{{"DATA", "554 no data\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "MS - 554 no data\r\nMail Server Will Not Accept Message Data.\n",
       "DATA"},
      {{{".", "552 too big\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "MS - 552 too big\r\nMail Server Returned Error on EOM (End of Message).\n",
       "DATA"},
      {{{".", kCloseConnection}},
       kHeader,
       SessionResult::kFailed,
       "MS - Mail Server Closed the Connection.\n"
       "Mail Server Returned Error on EOM (End of Message).\n",
       "DATA"},
      {{{".", "2\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "MS - 2\r\nMalformed Reply From Mail Server.\n"
       "Mail Server Returned Error on EOM (End of Message).\n",
       "DATA"},
      {{{".", "550-rejected\r\n250 ok\r\n"}},
       kHeader,
       SessionResult::kFailed,
       "MS - 250 ok\r\nMalformed Reply From Mail Server.\n"
       "Mail Server Returned Error on EOM (End of Message).\n",
       "DATA"},
      // A continuation line cut short by the close is followed by no last line.
      {{{".", "250-ok" + kCloseConnection}},
       kHeader,
       SessionResult::kFailed,
       "MS - 250-okMS - Mail Server Closed the Connection.\n"
       "Mail Server Returned Error on EOM (End of Message).\n",
       "DATA"},
      {{{"", "220-hi" + kCloseConnection}},
       kHeader,
       SessionResult::kFailed,
       "MS - 220-hiMS - Mail Server Closed the Connection.\nMail Server Not Accepting Messages.",
       ""},
      {{{"QUIT", kResetConnection}},
       kHeader,
       SessionResult::kFailed,
       "MS - 250 ok\r\nSocket Error, Ending Thread\n",
       "QUIT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    ScriptedSmtpServer server(c.script);
    EXPECT_EQ(c.result, send(server.address(), c.header));
    EXPECT_NE(std::string::npos, log().find(c.logged)) << log();
    std::vector<std::string> commands = server.commands();
    EXPECT_EQ(c.last_command, commands.empty() ? "" : commands.back());
  }
}

TEST_F(SmtpSessionTest, EnvelopeAddressesLoseControlCharacters) {
  ScriptedSmtpServer server;
  EXPECT_EQ(SessionResult::kSent,
            send(server.address(), "From: a@a.test>\tRET=FULL\tENVID=x\nTo: b\x01@x.test\v\n"));
  std::vector<std::string> commands = server.commands();
  ASSERT_LE(3u, commands.size());
  EXPECT_EQ("MAIL FROM: <a@a.testRET=FULLENVID=x>", commands[1]);
  EXPECT_EQ("RCPT TO: <b@x.test>", commands[2]);
}

TEST_F(SmtpSessionTest, AddressesTooLongForSmtpAreNeverSentCutOrSplit) {
  const std::string local_part(65, 'l');
  const std::string long_domain = "a@" + std::string(253, 'd');  // a path of 257
  const std::string huge = std::string(998, 'h') + "@x.test";    // 1,005 octets
  struct Case {
    std::string header;
    SessionResult result;
    std::vector<std::string> commands;  // after HELO
    std::string logged;
  };
  const Case cases[] = {
      {"From: jo@x.test\nTo: " + huge + ", " + local_part + "@x.test, b@x.test\n",
       SessionResult::kSent,
       {"MAIL FROM: <jo@x.test>", "RCPT TO: <b@x.test>", "DATA", "QUIT"},
       "Address too long for mail, passed over (1005 octets): " + std::string(64, 'h') +
           "...\nAddress too long for mail, passed over (72 octets): " + local_part.substr(0, 64) +
           "...\nTo: <b@x.test>"},
      {"From: " + long_domain + "\nTo: b@x.test\n",
       SessionResult::kFailed,
       {},
       "Address too long for mail, passed over (255 octets): " + long_domain.substr(0, 64) +
           "...\nFatal Error: No Sender Specified.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    ScriptedSmtpServer server;
    EXPECT_EQ(c.result, send(server.address(), c.header));
    std::vector<std::string> commands = server.commands();
    ASSERT_LE(1u, commands.size());
    EXPECT_EQ(c.commands, std::vector<std::string>(commands.begin() + 1, commands.end()));
    EXPECT_NE(std::string::npos, log().find(c.logged)) << log();
  }
}

TEST_F(SmtpSessionTest, RecipientListThatCannotBeMadeGivesResult4) {
  ScriptedSmtpServer server;
  dir.write("header.txt", kHeader);
  message.temp_dir = dir.file("no/such/dir");
  message.smtp_server = server.address();
  EXPECT_EQ(SessionResult::kNoRecipientList, run_mail_session(message, {}, kWatchdogBudget));
  EXPECT_NE(std::string::npos,
            log().find("Could not Create temporary file, please specify path for TEMP files."));
  EXPECT_EQ("HELO client.test", server.commands().back());
  EXPECT_FALSE(dir.exists("header.txt"));
}

TEST_F(SmtpSessionTest, SilentServerIsStoppedByTheWatchdog) {
  ScriptedSmtpServer server({{"HELO", kAnswerNothing}});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SessionResult::kWatchdogExpired, send(server.address(), kHeader, 1));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2500));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
  EXPECT_EQ(std::string::npos, log().find("Socket Error"));
}

TEST_F(SmtpSessionTest, ServerThatCannotBeReached) {
  int port = ScriptedSmtpServer().port();  // closed again at once
  EXPECT_EQ(SessionResult::kFailed, send("127.0.0.1:" + std::to_string(port)));
  EXPECT_NE(std::string::npos, log().find("Could not connect to server (127.0.0.1), port (" +
                                          std::to_string(port) + ") -- ERROR 111\n"));
  EXPECT_EQ(SessionResult::kFailed, send("no-such-host.invalid"));
  EXPECT_EQ(
      "Connecting to Mail Server (no-such-host.invalid)...\n"
      "Server name (no-such-host.invalid) could not be resolved.\n",
      log());
}

// A stored mail goes out byte for byte as it was prepared, Message-ID included,
// however often it is sent; the refusal that stops it decides whether it is tried
// again.
TEST_F(SmtpSessionTest, StoredMailIsSentAsPreparedAndItsRefusalsClassified) {
  std::filesystem::create_directories(dir.file("tmp"));
  message.temp_dir = dir.file("tmp");
  dir.write("header.txt", kHeader);
  dir.write("body.txt", "Hello\n.\nlast");
  StoredMail mail;
  ASSERT_TRUE(prepare_stored_mail(message, {}, &mail));
  EXPECT_FALSE(dir.exists("header.txt"));
  EXPECT_FALSE(dir.exists("body.txt"));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("tmp")));
  EXPECT_EQ("jo@x.test", mail.sender);
  EXPECT_EQ((std::vector<std::string>{"a@x.test", "b@x.test"}), mail.recipients);
  ASSERT_NE(std::string::npos, mail.data.find("\r\nMessage-ID: <"));
  EXPECT_NE(std::string::npos, mail.data.find("\r\nHello\r\n..\r\nlast\r\n"));

  std::string first_transcript;
  for (int round = 0; round < 2; ++round) {
    ScriptedSmtpServer server;
    message.smtp_server = server.address();
    MailAttemptResult sent = run_stored_mail_session(message, mail, kWatchdogBudget);
    EXPECT_EQ(DeliveryOutcome::kDelivered, classify_mail_attempt(sent));
    EXPECT_EQ("250 ok", sent.reply);
    EXPECT_EQ(mail.data, server.message());
    if (round == 0) first_transcript = server.transcript();
    EXPECT_EQ(first_transcript, server.transcript());
  }

  // Prepared into a file and sent as its first bytes and the rest of the file.
  dir.write("header.txt", kHeader);
  dir.write("body.txt", "Hello\n.\nlast");
  int fd = ::open(dir.file("data").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  StoredMail in_file;
  ASSERT_TRUE(prepare_stored_mail(message, {}, &in_file, fd));
  EXPECT_EQ(fd, in_file.rest_fd);
  const std::string data = testing_support::read_file(dir.file("data"));
  EXPECT_EQ(mail.data.size(), data.size());
  in_file.data = data.substr(0, 10);
  in_file.rest_offset = 10;
  ScriptedSmtpServer receiver;
  message.smtp_server = receiver.address();
  EXPECT_EQ(SessionResult::kSent,
            run_stored_mail_session(message, in_file, kWatchdogBudget).session);
  EXPECT_EQ(data, receiver.message());
  ::close(fd);

  // The reply kept is the one that decided the attempt, or why none came.
  struct Case {
    std::map<std::string, std::string> script;
    int refusal_code;
    DeliveryOutcome outcome;
    std::string reply;
  };
  const Case cases[] = {
      {{{".", "250-first\r\n250 2.0.0 Ok: queued as 4XyZ\r\n"}},
       0,
       DeliveryOutcome::kDelivered,
       "250 2.0.0 Ok: queued as 4XyZ"},
      {{{"MAIL", "451 try later\r\n"}}, 451, DeliveryOutcome::kTemporary, "451 try later"},
      {{{"MAIL", "553 not you\r\n"}}, 553, DeliveryOutcome::kPermanent, "553 not you"},
      {{{"RCPT", "550 no such user\r\n"}}, 550, DeliveryOutcome::kPermanent, "550 no such user"},
      {{{"RCPT", "452 mailbox full\r\n"}}, 452, DeliveryOutcome::kTemporary, "452 mailbox full"},
      {{{"RCPT TO: <a@", "550 no\r\n"}, {"RCPT TO: <b@", "450 later\r\n"}},
       450,
       DeliveryOutcome::kTemporary,
       "450 later"},
      // A recipient refused for good no longer decides once the message goes to another.
      {{{"RCPT TO: <a@", "550 no\r\n"}, {".", kCloseConnection}},
       0,
       DeliveryOutcome::kTemporary,
       "the server closed the connection"},
      {{{"DATA", "554 no data\r\n"}}, 554, DeliveryOutcome::kPermanent, "554 no data"},
      {{{".", "452 no room\r\n"}}, 452, DeliveryOutcome::kTemporary, "452 no room"},
      {{{".", "552-too\r\n552 big \x1b[2J\r\n"}},
       552,
       DeliveryOutcome::kPermanent,
       "552 big \\x1b[2J"},
      {{{".", "550-rejected\r\n250 ok\r\n"}},
       550,
       DeliveryOutcome::kPermanent,
       "malformed reply: 250 ok"},
      {{{"", "554 go away\r\n" + kCloseConnection}}, 0, DeliveryOutcome::kTemporary, "554 go away"},
      {{{"RCPT", kResetConnection}},
       0,
       DeliveryOutcome::kTemporary,
       "the connection failed while waiting for a reply"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    ScriptedSmtpServer server(c.script);
    message.smtp_server = server.address();
    MailAttemptResult attempt = run_stored_mail_session(message, mail, kWatchdogBudget);
    EXPECT_EQ(c.outcome == DeliveryOutcome::kDelivered, attempt.session == SessionResult::kSent);
    EXPECT_EQ(c.refusal_code, attempt.refusal_code);
    EXPECT_EQ(c.outcome, classify_mail_attempt(attempt));
    EXPECT_EQ(c.reply, attempt.reply);
  }
  int closed = ScriptedSmtpServer().port();
  message.smtp_server = "127.0.0.1:" + std::to_string(closed);
  EXPECT_EQ(
      "could not connect to 127.0.0.1 port " + std::to_string(closed) + ": Connection refused",
      run_stored_mail_session(message, mail, kWatchdogBudget).reply);
}

}  // namespace
