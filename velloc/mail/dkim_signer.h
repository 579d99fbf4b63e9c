// DKIM signatures over a mail in its wire form (CR LF line ends, dot-stuffed, as it
// goes in DATA): relaxed/relaxed, RSA-SHA256 and, when configured, a second
// Ed25519-SHA256, through libopendkim. The header fields signed are those of
// kDkimSignedHeaders that the mail has. The keys are read, and checked, at every
// signing, so a key changed on disk is the one used.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "velloc/mail/mail_message.h"
#include "velloc/mail/stored_mail.h"

// The header fields a signature covers where the mail has them, lower case.
inline constexpr const char* kDkimSignedHeaders[] = {"from",
                                                     "to",
                                                     "subject",
                                                     "date",
                                                     "message-id",
                                                     "reply-to",
                                                     "mime-version",
                                                     "content-type",
                                                     "list-unsubscribe",
                                                     "list-unsubscribe-post"};

// Reads a mail in wire form a piece at a time, as the signer needs it: each header
// field whole (folded lines joined by their CR LF, without its final CR LF), then the
// body with the dot-stuffing undone. The callbacks must outlive it.
class WireMessageReader {
 public:
  WireMessageReader(std::function<void(std::string_view)> on_field,
                    std::function<void()> on_end_of_header,
                    std::function<void(std::string_view)> on_body)
      : on_field_(std::move(on_field)),
        on_end_of_header_(std::move(on_end_of_header)),
        on_body_(std::move(on_body)) {}
  void read(std::string_view piece);
  // The end of the mail: a header without a blank line ends here.
  void finish();

 private:
  void header_line(std::string_view line);
  void flush_field();

  std::function<void(std::string_view)> on_field_;
  std::function<void()> on_end_of_header_;
  std::function<void(std::string_view)> on_body_;
  bool in_header_ = true;
  bool at_line_start_ = true;
  std::string line_;
  std::string field_;
};

// Why the settings cannot sign (some of the keys set, not all that go together);
// empty when they can or ask for no signature.
std::string dkim_settings_problem(const DkimSettings& settings);

// Every signature the settings ask for, as header fields each ended by CR LF, to go
// before the mail whose wire form is `head` followed by the content of `rest_fd`
// (when not -1) from `rest_offset`. False with `*error` saying why when a key cannot
// be used, the library cannot be loaded or signing fails.
bool dkim_signature_fields(const DkimSettings& settings, std::string_view head, int rest_fd,
                           std::int64_t rest_offset, std::string* fields, std::string* error);

// Signs `*mail` as `message.dkim` asks, the signatures put before its data; true and
// unchanged when it asks for none. False (logged as "DKIM signing failed: <why>"),
// with the mail unchanged, when it cannot be signed: it must not be sent.
bool sign_stored_mail(const MailMessage& message, StoredMail* mail);
