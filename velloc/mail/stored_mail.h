// A mail kept to be sent again: its envelope and its content exactly as it goes
// in DATA (dot-stuffed, CR LF line ends, after encryption), so that every attempt
// sends the same bytes and the same Message-ID. Also the judgement of one attempt.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/mail/session_result.h"
#include "velloc/webhook/delivery_outcome.h"

struct StoredMail {
  std::string sender;
  std::vector<std::string> recipients;
  std::string data;
  // When not -1, the data goes on with the content of this file (the caller's) from
  // `rest_offset` to its end, read a piece at a time as it is sent: a mail with
  // its files never has to be held whole.
  int rest_fd = -1;
  std::int64_t rest_offset = 0;
  // Kept unsigned while its DKIM key could not be used (queue mode): signed when it
  // is sent, and never sent unsigned.
  bool sign_when_sent = false;
};

// How one attempt at sending a stored mail ended.
struct MailAttemptResult {
  SessionResult session = SessionResult::kFailed;
  int refusal_code = 0;  // the SMTP code of the reply that refused it; 0: none
  // The relay's final reply line after the end of data, or the refusing reply's,
  // or why the conversation failed (no connection, TLS, a broken reply, the
  // watchdog), as reply_text.h keeps it.
  std::string reply;
  // No session could be opened with the relay: no connection, or its greeting, TLS or
  // login failed. Every other mail to it would fare the same now.
  bool no_session = false;
};

// Sent: delivered. A refusal with a 5xx code (sender, every recipient, the data):
// permanent. Everything else (no connection, a 4xx reply, a broken conversation,
// the watchdog, settings that cannot be used now): temporary.
DeliveryOutcome classify_mail_attempt(const MailAttemptResult& attempt);

// Why an attempt did not deliver, for the log and the archive.
std::string mail_attempt_text(const MailAttemptResult& attempt);

// Calls `write` with the content of `fd` from `offset` to its end, a piece of at
// most 64 KiB at a time; false when it cannot be read.
bool for_each_piece(int fd, std::int64_t offset,
                    const std::function<void(std::string_view)>& write);

// The text form a delivery keeps: "MAIL FROM:<sender>\n", a "RCPT TO:<address>\n"
// line each, an empty line, then the data. Addresses never hold line ends.
std::string encode_stored_mail(const StoredMail& mail);
// nullopt when `text` is not in that form.
std::optional<StoredMail> decode_stored_mail(std::string_view text);

// The Message-ID header's value in the header lines of `data` (any case of its
// name, blanks around the value dropped); empty when there is none.
std::string message_id_of(std::string_view data);

// The recipients joined by ", ".
std::string recipients_text(const StoredMail& mail);
