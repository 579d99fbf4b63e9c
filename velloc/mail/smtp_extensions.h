// The parts of an SMTP session that go beyond plain HELO: TLS (from the first
// byte, or after STARTTLS), EHLO and the login (AUTH PLAIN, or LOGIN when PLAIN is
// not offered). Used only when the settings ask for TLS or a login.
#pragma once

#include "velloc/mail/mail_message.h"

class SmtpConnection;

// True when the session greets with EHLO: TLS or a login is configured.
bool uses_extended_hello(const MailMessage& message);

// The settings may be used as they are: a known SMTP_TLS value, and credentials
// that only ever travel under TLS unless plain text is allowed for a relay on
// loopback (SMTP_TLS=none with SMTP_AUTH_PLAINTEXT=1). Logs why not.
bool transport_settings_usable(const MailMessage& message);

// Right after connecting: the handshake of SMTP_TLS=tls (nothing otherwise).
bool start_implicit_tls(const MailMessage& message, SmtpConnection& connection);

// After the greeting: EHLO, STARTTLS and EHLO again when asked for, then the
// login when a user is set. False (logged) when the session cannot go on.
// `*pipelining` (when given) tells whether the last EHLO offered PIPELINING.
bool extended_hello(const MailMessage& message, SmtpConnection& connection,
                    bool* pipelining = nullptr);
