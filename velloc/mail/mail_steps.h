// Steps 10 and 11: the form mail to the site owner and the receipt to the visitor,
// and the send that both share (header file, optional encryption, attachment,
// SMTP session). A failed send ends the run through fail_request.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/temp_file.h"
#include "velloc/mail/mime.h"

struct Run;
struct CgiRequest;

int send_form_mail(Run& run);
// The form mail as it would be sent, before any encryption and without its
// attachments: its header lines, a blank line and its body. Composing it changes
// nothing the later form mail sees.
std::string form_mail_text(Run& run);
int send_receipt(Run& run);
// The receipt as it would be sent, as form_mail_text gives the form mail.
std::string receipt_text(Run& run);

// The mail that asks the visitor to confirm the submission: to `address` only, from
// the receipt's sender, with `subject` and the plain-text `body`. It counts as a
// receipt for ReceiptsPerAddress; false (recorded, nothing sent) when that address
// has had its receipts. Ends the run when it cannot be sent, as a receipt does.
bool send_confirmation_mail(Run& run, const std::string& address, const std::string& subject,
                            const std::string& body);

enum class Recipients { kAll, kFirstOnly };

// "From: <first sender>\nTo: <recipients joined by ", ">\nSubject: <subject>\n"
// from the three named fields. Addresses are cleaned (guard/address_cleaning.h);
// the To line holds only whole addresses, as many as fit in a header-file line.
// Carriage returns and line feeds in the subject become blanks, so a visitor cannot
// add header lines.
std::string build_header_text(const CgiRequest& request, std::string_view sender_field,
                              std::string_view recipients_field, std::string_view subject_field,
                              Recipients recipients = Recipients::kAll);

// Writes the header file, encrypts the body for `target` when `encrypt` is set
// (body_file then is the encrypted file), attaches the pending attachment and
// then `extra_attachments`, and runs the SMTP session. Returns 1, or kMailQueued when
// the archived run keeps the mail (a delivery of `delivery_kind`) to be sent later;
// ends the run on failure. The body and header files are gone when it returns or throws.
inline constexpr int kMailQueued = 2;
int send_message(Run& run, platform::TempFile& body_file, const std::string& header_text,
                 bool encrypt, const std::string& target,
                 std::span<const MailAttachment> extra_attachments = {},
                 const char* delivery_kind = "form_mail");
