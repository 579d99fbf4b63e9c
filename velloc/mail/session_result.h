// The outcome of one SMTP session: the worker's exit code and the result of
// run_mail_session. Every code above kSent is a failed send.
#pragma once

enum class SessionResult {
  kSent = 1,             // accepted, ended with QUIT
  kSenderRefused = 2,    // MAIL FROM refused
  kFailed = 3,           // any other failure of the conversation
  kNoRecipientList = 4,  // the recipient list file could not be made
  kWatchdogExpired = 5,  // the worker was stopped by the watchdog
};
