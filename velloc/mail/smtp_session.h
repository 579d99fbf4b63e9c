// One SMTP session: delivers the message described by a MailMessage (its header,
// body and attachment files) to the configured server over one connection. The
// conversation runs on the calling thread under a watchdog, a deadline that no wait
// on the connection outlasts; the message's files are deleted afterwards, whatever
// the result.
#pragma once

#include <span>

#include "velloc/mail/mail_message.h"
#include "velloc/mail/mime.h"
#include "velloc/mail/session_result.h"
#include "velloc/mail/stored_mail.h"

class SmtpConnection;

// Every send of the product gives the watchdog this budget: 60 × 50 + 1 polls of
// 50 ms, about 150 seconds.
inline constexpr int kWatchdogBudget = 60;

// Runs the session under the watchdog and returns its result. A mail to be signed
// is prepared (prepare_stored_mail) and signed first; one that cannot be signed is
// not sent (kFailed). On return the
// header, body and (when the session made it) recipient list files are deleted and
// message.recipient_file names the list the session made.
SessionResult run_mail_session(MailMessage& message, std::span<const MailAttachment> attachments,
                               int watchdog_budget);

// The conversation itself, on the calling thread, over `connection` (not yet
// connected). Writes message.recipient_file.
SessionResult converse(MailMessage& message, std::span<const MailAttachment> attachments,
                       SmtpConnection& connection);

// A message made ready to be sent now or later, byte for byte the same: its
// envelope resolved and its content rendered as it goes in DATA (Message-ID
// included), into `mail->data`, or with `data_fd` written to that empty file and
// named as the mail's rest. Signed when message.dkim asks for it (the signatures
// in `mail->data`, before the file's content). The header and body files are
// deleted, whatever the result; false (logged) when the envelope cannot be made,
// the file written or the mail signed. With `sign_later`, a mail that cannot be signed
// now is made all the same, marked to be signed when it is sent.
bool prepare_stored_mail(MailMessage& message, std::span<const MailAttachment> attachments,
                         StoredMail* mail, int data_fd = -1, bool sign_later = false);

// Sends a stored mail over the server, TLS and login that `settings` names, under
// the watchdog, through the same conversation as run_mail_session.
MailAttemptResult run_stored_mail_session(const MailMessage& settings, const StoredMail& mail,
                                          int watchdog_budget);

// The conversation of a stored mail on the calling thread; `*attempt` gets the
// code of the reply that refused it and the attempt's reply (MailAttemptResult).
SessionResult converse_stored(const MailMessage& settings, const StoredMail& mail,
                              SmtpConnection& connection, MailAttemptResult* attempt);
