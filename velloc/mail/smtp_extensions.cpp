#include "velloc/mail/smtp_extensions.h"

#include <string>
#include <vector>

#include "platform/text.h"
#include "velloc/mail/base64.h"
#include "velloc/mail/mail_encoding.h"
#include "velloc/mail/smtp_connection.h"
#include "velloc/request/event_log.h"

namespace {

using ReplyLines = std::vector<std::string>;

// The text of a reply line after its code and separator, in upper case.
std::string capability_of(const std::string& line) {
  std::string text = line.size() > 4 ? line.substr(4) : std::string();
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return std::string(platform::trim(text));
}

bool offers(const ReplyLines& lines, std::string_view wanted) {
  for (const std::string& line : lines)
    if (capability_of(line) == wanted) return true;
  return false;
}

bool offers_mechanism(const ReplyLines& lines, std::string_view mechanism) {
  for (const std::string& line : lines) {
    std::string capability = capability_of(line);
    if (capability.rfind("AUTH", 0) != 0 || capability.size() < 5) continue;
    if (capability[4] != ' ' && capability[4] != '=') continue;
    for (const std::string& offered : platform::split_at(capability.substr(5), " "))
      if (offered == mechanism) return true;
  }
  return false;
}

std::string server_host(const MailMessage& message) {
  return parse_server_setting(message.smtp_server, message.smtp_port).host;
}

bool handshake(const MailMessage& message, SmtpConnection& connection) {
  TlsOptions options{server_host(message), message.ca_file, message.tls_verify, nullptr};
  std::string reason;
  bool started = connection.start_tls(options, &reason);
  if (connection.dropped_before_tls()) log_event(message, 1, "Data Sent Before TLS Was Dropped.\n");
  if (started) {
    log_event(message, 5,
              connection.tls_resumed() ? "TLS Started (Session Resumed).\n" : "TLS Started.\n");
    return true;
  }
  log_event(message, 1, "TLS handshake with %s failed: %s\n", options.host.c_str(), reason.c_str());
  connection.record_failure("TLS handshake with " + options.host + " failed: " + reason);
  return false;
}

bool send_ehlo(const MailMessage& message, SmtpConnection& connection, ReplyLines* lines) {
  lines->clear();
  log_event(message, 5, "Sending: EHLO %s\n", message.local_host.c_str());
  Reply reply = send_command(message, connection, "EHLO " + message.local_host + "\r\n", lines);
  if (reply == Reply::kNegative) log_event(message, 1, "Mail Server Refused EHLO.\n");
  return reply == Reply::kPositive;
}

bool start_tls_command(const MailMessage& message, SmtpConnection& connection,
                       const ReplyLines& capabilities) {
  if (!offers(capabilities, "STARTTLS")) {
    log_event(message, 1, "Mail Server Does Not Offer STARTTLS.\n");
    connection.record_failure("the server does not offer STARTTLS");
    return false;
  }
  Reply reply = send_command(message, connection, "STARTTLS\r\n");
  if (reply == Reply::kNegative) log_event(message, 1, "Mail Server Refused STARTTLS.\n");
  return reply == Reply::kPositive && handshake(message, connection);
}

// Sends one step of the login, logged as `shown`, and reads the server's answer.
// A command goes within the command limit, an answer to a challenge within the
// longer limit of AUTH.
Reply login_step(const MailMessage& message, SmtpConnection& connection, const std::string& line,
                 const char* shown, ReplyLines* lines, std::size_t limit = kMaxCommandLine) {
  log_event(message, 15, "Sending: %s\n", shown);
  lines->clear();
  return send_command(message, connection, line + "\r\n", lines, limit);
}

// The credentials go with the command when they fit into its line; otherwise as
// the answer to the server's challenge.
Reply login_plain(const MailMessage& message, SmtpConnection& connection, ReplyLines* lines) {
  std::string token = std::string(1, '\0') + message.smtp_user + '\0' + message.smtp_password;
  std::string command = "AUTH PLAIN " + base64_text(token);
  if (command.size() + 2 <= kMaxCommandLine)
    return login_step(message, connection, command, "AUTH PLAIN ***", lines);
  Reply reply = login_step(message, connection, "AUTH PLAIN", "AUTH PLAIN", lines);
  if (reply != Reply::kPositive) return reply;
  return login_step(message, connection, base64_text(token), "***", lines, kMaxAuthLine);
}

Reply login_with_login(const MailMessage& message, SmtpConnection& connection, ReplyLines* lines) {
  Reply reply = login_step(message, connection, "AUTH LOGIN", "AUTH LOGIN", lines);
  if (reply == Reply::kPositive)
    reply =
        login_step(message, connection, base64_text(message.smtp_user), "***", lines, kMaxAuthLine);
  if (reply == Reply::kPositive)
    reply = login_step(message, connection, base64_text(message.smtp_password), "***", lines,
                       kMaxAuthLine);
  return reply;
}

bool log_in(const MailMessage& message, SmtpConnection& connection,
            const ReplyLines& capabilities) {
  ReplyLines lines;
  Reply reply = Reply::kNegative;
  if (offers_mechanism(capabilities, "PLAIN")) {
    reply = login_plain(message, connection, &lines);
  } else if (offers_mechanism(capabilities, "LOGIN")) {
    reply = login_with_login(message, connection, &lines);
  } else {
    log_event(message, 1, "Mail Server Offers Neither AUTH PLAIN Nor AUTH LOGIN.\n");
    connection.record_failure("the server offers neither AUTH PLAIN nor AUTH LOGIN");
    return false;
  }
  if (reply == Reply::kBroken || reply == Reply::kNotSent) return false;
  if (reply == Reply::kPositive && !lines.empty() && lines.back().rfind("235", 0) == 0) {
    log_event(message, 5, "Logged In.\n");
    return true;
  }
  log_event(message, 1, "Mail Server Refused the Login: %s\n",
            lines.empty() ? "" : lines.back().c_str());
  return false;
}

}  // namespace

bool uses_extended_hello(const MailMessage& message) {
  return message.smtp_tls != SmtpTls::kNone || !message.smtp_user.empty();
}

bool transport_settings_usable(const MailMessage& message) {
  if (message.smtp_tls == SmtpTls::kUnknown) {
    log_event(message, 1, "SMTP_TLS must be none, starttls or tls.\n");
    return false;
  }
  if (message.smtp_user.empty() || message.smtp_tls != SmtpTls::kNone || message.auth_plaintext)
    return true;
  log_event(message, 1,
            "Credentials are sent only over TLS: set SMTP_TLS, or SMTP_AUTH_PLAINTEXT=1 for a "
            "relay on loopback.\n");
  return false;
}

bool start_implicit_tls(const MailMessage& message, SmtpConnection& connection) {
  return message.smtp_tls != SmtpTls::kImplicit || handshake(message, connection);
}

bool extended_hello(const MailMessage& message, SmtpConnection& connection, bool* pipelining) {
  ReplyLines capabilities;
  if (!send_ehlo(message, connection, &capabilities)) return false;
  if (message.smtp_tls == SmtpTls::kStartTls) {
    if (!start_tls_command(message, connection, capabilities)) return false;
    if (!send_ehlo(message, connection, &capabilities)) return false;
  }
  if (pipelining != nullptr) *pipelining = offers(capabilities, "PIPELINING");
  return message.smtp_user.empty() || log_in(message, connection, capabilities);
}
