#include "velloc/mail/smtp_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "tests/support/scripted_smtp_server.h"
#include "velloc/mail/smtp_session.h"

namespace {

using testing_support::ScriptedSmtpServer;
using testing_support::TempDir;

const std::string kEnvelope = "MAIL FROM: <jo@x.test>|RCPT TO: <a@x.test>|DATA|";
const std::string kRefusedSender = "MAIL FROM: <jo@x.test>|";
const std::string kLogin = "EHLO|AUTH|";
const std::string kOffers = "250-relay\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n";

// The server's command lines, each followed by "|"; of a greeting or a login only
// the command.
std::string joined(const std::vector<std::string>& commands) {
  std::string text;
  for (const std::string& command : commands) {
    bool shortened =
        command.starts_with("HELO") || command.starts_with("EHLO") || command.starts_with("AUTH");
    text += (shortened ? command.substr(0, 4) : command) + "|";
  }
  return text;
}

// The server's commands once they are `expected` (the last may arrive after the
// client has gone on), or as they are after a few seconds.
std::string commands_when(const ScriptedSmtpServer& server, const std::string& expected) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (joined(server.commands()) != expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return joined(server.commands());
}

MailMessage settings_for(const ScriptedSmtpServer& server, const TempDir& dir, bool login) {
  MailMessage settings;
  settings.log_file = dir.file("velloc.log");
  settings.local_host = "client.test";
  settings.smtp_server = server.address();
  if (login) {
    settings.smtp_user = "jo";
    settings.smtp_password = "secret";
    settings.auth_plaintext = true;
  }
  return settings;
}

StoredMail mail_to(const std::string& recipient) {
  StoredMail mail;
  mail.sender = "jo@x.test";
  mail.recipients = {recipient + "@x.test"};
  mail.data = "Subject: Hi\r\n\r\nHi\r\n";
  return mail;
}

struct PoolCase {
  const char* name;
  std::map<std::string, std::string> script;
  bool login;  // EHLO and AUTH, where the relay may offer PIPELINING
  std::vector<std::string> recipients;
  std::vector<SessionResult> results;  // empty: each sent
  int connections;
  std::string commands;  // with the pool's QUIT at the end
};

// Several mails through one pool: what the relay sees of them.
TEST(SmtpPoolTest, MailsShareKeptConnections) {
  const SessionResult kSent = SessionResult::kSent;
  const PoolCase cases[] = {
      {"the next mail follows the last",
       {},
       false,
       {"a", "a", "a"},
       {},
       1,
       "HELO|" + kEnvelope + kEnvelope + kEnvelope + "QUIT|"},
      {"a relay that closes at MAIL FROM gets the mail again on a new connection",
       {{"MAIL#2", "421 closing\r\n<close>"}},
       false,
       {"a", "a", "a"},
       {},
       2,
       "HELO|" + kEnvelope + kRefusedSender + "HELO|" + kEnvelope + kEnvelope + "QUIT|"},
      {"a reply lost after the end of data is never answered by sending again",
       {{".", "<close>"}},
       false,
       {"a"},
       {SessionResult::kFailed},
       1,
       "HELO|" + kEnvelope},
      {"a connection the relay closed while idle is not used again",
       {{".", "250 ok\r\n<close>"}},
       false,
       {"a", "a"},
       {},
       2,
       "HELO|" + kEnvelope + "HELO|" + kEnvelope},
      {"a refused recipient is followed by RSET and the next mail",
       {{"RCPT TO: <bad@", "550 no\r\n"}},
       false,
       {"bad", "a"},
       {SessionResult::kFailed, kSent},
       1,
       "HELO|" + kRefusedSender + "RCPT TO: <bad@x.test>|RSET|" + kEnvelope + "QUIT|"},
      {"a relay that offers PIPELINING gets the envelope in one write",
       {{"EHLO", kOffers},
        {"AUTH", "235 in\r\n"},
        {"MAIL#1", "451 later\r\n"},
        {"DATA#1", "503 no mail\r\n"}},
       true,
       {"a", "a"},
       {SessionResult::kSenderRefused, kSent},
       1,
       kLogin + kEnvelope + "RSET|" + kEnvelope + "QUIT|"},
      {"without PIPELINING one command at a time",
       {{"EHLO", "250-relay\r\n250 AUTH PLAIN\r\n"},
        {"AUTH", "235 in\r\n"},
        {"MAIL#1", "451 later\r\n"}},
       true,
       {"a", "a"},
       {SessionResult::kSenderRefused, kSent},
       1,
       kLogin + kRefusedSender + "RSET|" + kEnvelope + "QUIT|"},
  };
  for (const PoolCase& row : cases) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    ScriptedSmtpServer server(row.script);
    MailMessage settings = settings_for(server, dir, row.login);
    {
      SmtpPool pool;
      settings.smtp_pool = &pool;
      for (std::size_t i = 0; i < row.recipients.size(); ++i) {
        SessionResult expected = row.results.empty() ? kSent : row.results[i];
        EXPECT_EQ(
            expected,
            run_stored_mail_session(settings, mail_to(row.recipients[i]), kWatchdogBudget).session);
      }
    }
    EXPECT_EQ(row.commands, commands_when(server, row.commands));
    EXPECT_EQ(row.connections, server.connections());
  }
}

// A connection is closed with QUIT after the mails it may carry, and a kept one
// gives way when the limit of connections is reached.
TEST(SmtpPoolTest, ConnectionsEndAfterTheirMails) {
  TempDir dir;
  ScriptedSmtpServer server;
  MailMessage settings = settings_for(server, dir, false);
  settings.smtp_messages_per_connection = 2;
  SmtpPool pool;
  settings.smtp_pool = &pool;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(SessionResult::kSent,
              run_stored_mail_session(settings, mail_to("a"), kWatchdogBudget).session);
  std::string expected = "HELO|" + kEnvelope + kEnvelope + "QUIT|HELO|" + kEnvelope;
  EXPECT_EQ(expected, commands_when(server, expected));
  EXPECT_EQ(2, server.connections());
  EXPECT_EQ(1, pool.kept(smtp_relay_key(settings)));
}

// A kept connection unused for kSmtpIdleLimit is closed, by the Site's look between
// requests or by the next mail, which then opens a new one.
TEST(SmtpPoolTest, AConnectionUnusedTooLongIsClosed) {
  TempDir dir;
  ScriptedSmtpServer server;
  MailMessage settings = settings_for(server, dir, false);
  auto now = std::chrono::steady_clock::now();
  SmtpPool pool([&now] { return now; });
  settings.smtp_pool = &pool;
  const std::string key = smtp_relay_key(settings);
  auto send = [&] {
    EXPECT_EQ(SessionResult::kSent,
              run_stored_mail_session(settings, mail_to("a"), kWatchdogBudget).session);
  };
  send();
  now += kSmtpIdleLimit - std::chrono::seconds(1);
  pool.close_idle();
  send();  // the same connection
  EXPECT_EQ(1, pool.kept(key));
  now += kSmtpIdleLimit;
  pool.close_idle();
  EXPECT_EQ(0, pool.kept(key));
  std::string closed = "HELO|" + kEnvelope + kEnvelope + "QUIT|";
  EXPECT_EQ(closed, commands_when(server, closed));

  send();
  now += kSmtpIdleLimit;
  send();  // the next mail finds it stale
  std::string expected = closed + "HELO|" + kEnvelope + "QUIT|HELO|" + kEnvelope;
  EXPECT_EQ(expected, commands_when(server, expected));
  EXPECT_EQ(3, server.connections());
}

}  // namespace
