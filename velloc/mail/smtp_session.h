// One SMTP session: delivers the message described by a MailMessage (its header,
// body and attachment files) to the configured server over one connection. The
// conversation runs on a worker thread; the calling thread waits for it under a
// watchdog and deletes the message's files afterwards, whatever the result.
#pragma once

#include <span>

#include "velloc/mail/mail_message.h"
#include "velloc/mail/mime.h"
#include "velloc/mail/session_result.h"

class SmtpConnection;

// Every send of the product gives the watchdog this budget: 60 × 50 + 1 polls of
// 50 ms, about 150 seconds.
inline constexpr int kWatchdogBudget = 60;

// Runs the session under the watchdog and returns its result. On return the
// header, body and (when the session made it) recipient list files are deleted and
// message.recipient_file names the list the session made.
SessionResult run_mail_session(MailMessage& message, std::span<const MailAttachment> attachments,
                               int watchdog_budget);

// The conversation itself, on the calling thread, over `connection` (not yet
// connected). Writes message.recipient_file.
SessionResult converse(MailMessage& message, std::span<const MailAttachment> attachments,
                       SmtpConnection& connection);
