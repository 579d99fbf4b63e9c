#include "velloc/mail/mail_steps.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/descriptor_stream.h"
#include "platform/regular_file.h"
#include "platform/temp_file.h"
#include "velloc/archive/archive_step.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/guard/address_cleaning.h"
#include "velloc/guard/form_profile.h"
#include "velloc/guard/receipt_limit.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/mail/archived_mail.h"
#include "velloc/mail/encryption.h"
#include "velloc/mail/line_reader.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/mail/sender_choice.h"
#include "velloc/mail/smtp_session.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/request/page_head.h"
#include "velloc/run.h"
#include "velloc/templates/template_paths.h"

namespace {

constexpr std::size_t kMaxFieldValue = 1999;
constexpr char kListingLine[] = "%s:  %s\n";
using text::kBodyNotWritten;
using text::kSendFailed;

// A form value as it may enter a header line: at most 1999 characters, line
// breaks turned into blanks.
std::string header_safe_value(const CgiRequest& request, std::string_view field) {
  std::string value(request.field_text(field).substr(0, kMaxFieldValue));
  for (char& c : value)
    if (c == '\r' || c == '\n') c = ' ';
  return value;
}

// One line of the header file. It is cut to what the session reads as one line, so
// that no part of a long value is read as a header line of its own.
std::string header_line(std::string_view name, const std::string& value) {
  std::string line = std::string(name).append(": ").append(value);
  if (line.size() > kMaxFileLine - 1) line.resize(kMaxFileLine - 1);
  return line.append("\n");
}

// Header lines of the whole addresses of a list joined by ", ", as many lines of the
// same name as the list needs, so that every address reaches the recipient list; an
// address is never cut into another.
std::string address_header_line(std::string_view name, std::string_view list) {
  const std::string start = std::string(name).append(": ");
  std::string lines;
  std::string line = start;
  for_each_address(list, [&](const std::string& address) {
    if (line.size() > start.size() && line.size() + 2 + address.size() > kMaxFileLine - 1) {
      lines.append(line).append("\n");
      line = start;
    }
    if (line.size() > start.size()) line.append(", ");
    line.append(address);
    return true;
  });
  return lines.append(line).append("\n");
}

// A body that could not be written in full (disk full, file-size limit) is not
// mailed cut short: the run ends with the failure page instead.
void finish_body_file(Run& run, std::ostream& body, const platform::TempFile& file) {
  body.flush();
  if (body) return;
  log_event(run.message, 1, "Could not write message body file '%s'.\n", file.path().c_str());
  fail_request(run.message, kBodyNotWritten);
}

// Writes the body from the template named by `template_field` (at `template_path`)
// or, when that field is blank, as the listing of the form's fields, which leaves
// out a form profile's entries. Returns false when the template could not be
// opened (the body then tells so).
bool write_body(Run& run, std::ostream& body, std::string_view template_field,
                const std::string& template_path, const char* missing_format) {
  if (run.request.field_is_blank(template_field)) {
    const ProfileEntries& profile = run.settings.form_profile;
    LeftOutFields left_out;
    if (!profile.empty())
      left_out = [&profile](std::string_view name) { return is_profile_entry(profile, name); };
    write_field_list(body, run.request, kListingLine, Escape::kNone, left_out);
    return true;
  }
  std::ifstream input;
  if (!open_form_template(template_path, input)) {
    char text[kMaxFieldValue + 1];
    std::snprintf(text, sizeof text, missing_format, template_path.c_str());
    body << text;
    return false;
  }
  expand_template(input, body, run.request, run.template_state);
  return true;
}

void write_header_file(Run& run, const platform::TempFile& file, const std::string& header_text) {
  if (!platform::write_all(file.fd(), header_text.data(), header_text.size()))
    log_event(run.message, 1, "Error opening header file.\n");
}

std::vector<MailAttachment> take_pending_attachment(TemplateState& state) {
  std::vector<MailAttachment> attachments;
  if (!state.pending_attachment.empty()) {
    attachments.push_back(
        {state.pending_attachment, attachment_shown_name(state.pending_attachment)});
    state.pending_attachment.clear();
  }
  return attachments;
}

// `text` (header lines from build_header_text) with its From line replaced by the
// sender chosen for the address it held, and that sender's Reply-To after it.
std::string with_chosen_sender(const Run& run, const std::string& text, bool reply_to_wanted) {
  std::size_t from_end = text.find('\n');
  std::string wanted = text.substr(0, from_end).substr(std::string_view("From: ").size());
  SenderChoice sender = choose_sender(wanted, run.message.default_sender, reply_to_wanted);
  std::string lines = header_line("From", sender.from);
  if (!sender.reply_to.empty()) lines += header_line("Reply-To", sender.reply_to);
  return lines + text.substr(from_end + 1);
}

// The visitor's files as attachments of the form mail. With a PGP target each file
// is encrypted first and goes as "<name>.asc"; the encrypted copies belong to the
// run's temporary files.
std::vector<MailAttachment> upload_attachments(Run& run, const std::string& target) {
  std::vector<MailAttachment> attachments;
  for (const Upload& upload : run.request.uploads) {
    int fd = run.request.upload_files.descriptor_of(upload.path);
    if (target.empty()) {
      attachments.push_back(
          {upload.path, upload.shown_name, content_type_for_name(upload.shown_name), fd});
      continue;
    }
    platform::TempFile encrypted = encrypt_file(run, fd, target, EncryptionInput::kBinary);
    attachments.push_back(
        {encrypted.path(), upload.shown_name + ".asc", "application/octet-stream", encrypted.fd()});
    run.request.upload_files.add(std::move(encrypted));
  }
  return attachments;
}

// The form mail's header lines: from the visitor's address (or the site's sender
// with the visitor in Reply-To), then the spam filter's score when it gave one.
std::string form_mail_header_text(const Run& run) {
  std::string text =
      with_chosen_sender(run, build_header_text(run.request, "EMAIL", "RECIPIENT", "SUBJECT"),
                         run.settings.visitor_reply_to);
  if (!run.spam_score.empty()) text += header_line("X-Spam-Score", run.spam_score);
  return text;
}

}  // namespace

std::string form_mail_text(Run& run) {
  FieldMap fields = run.request.fields;
  TemplateState state = run.template_state;
  std::ostringstream body;
  write_body(run, body, "TEMPLATE_MAIL", run.templates.mail_template,
             "Could not open Template File: \n\t%s\n");
  run.request.fields = std::move(fields);
  run.template_state = std::move(state);
  return form_mail_header_text(run) + "\n" + body.str();
}

std::string receipt_text(Run& run) {
  FieldMap fields = run.request.fields;
  TemplateState state = run.template_state;
  std::ostringstream body;
  write_body(run, body, "TEMPLATE_RECEIPT", run.templates.receipt_template,
             "Could not open Template File: \n\t%s");
  run.request.fields = std::move(fields);
  run.template_state = std::move(state);
  return build_header_text(run.request, "RECEIPT_FROM", "EMAIL", "RECEIPT_SUBJECT",
                           Recipients::kFirstOnly) +
         "\n" + body.str();
}

int send_form_mail(Run& run) {
  if (run.request.field_is_set("DISABLE_MAIL")) return 1;
  ActionRecord outcome(run, "form_mail");
  std::string target = run.request.get_field("PGP_TARGET");
  std::vector<MailAttachment> uploads = upload_attachments(run, target);
  platform::TempFile body_file = make_mail_temp_file(run.message);
  platform::DescriptorStream body(body_file.fd());
  std::string header_text = form_mail_header_text(run);
  write_body(run, body, "TEMPLATE_MAIL", run.templates.mail_template,
             "Could not open Template File: \n\t%s\n");
  finish_body_file(run, body, body_file);
  int sent = send_message(run, body_file, header_text, !target.empty(), target, uploads);
  outcome.done((sent == kMailQueued ? "queued for " : "sent to ") +
               std::string(run.request.field_text("RECIPIENT")));
  return 1;
}

int send_receipt(Run& run) {
  if (!run.request.field_is_set("DO_RECEIPT")) return 1;
  ActionRecord outcome(run, "receipt");
  std::string address = first_address(run.request.field_text("EMAIL"));
  if (!admit_receipt(run, address)) {
    outcome.done("skipped: ReceiptsPerAddress reached for " + address);
    return 1;
  }
  platform::TempFile body_file = make_mail_temp_file(run.message);
  platform::DescriptorStream body(body_file.fd());
  std::string header_text =
      with_chosen_sender(run,
                         build_header_text(run.request, "RECEIPT_FROM", "EMAIL", "RECEIPT_SUBJECT",
                                           Recipients::kFirstOnly),
                         false) +
      list_unsubscribe_lines(run.settings.receipt_unsubscribe_url, address);
  const std::string& template_path = run.templates.receipt_template;
  if (!write_body(run, body, "TEMPLATE_RECEIPT", template_path,
                  "Could not open Template File: \n\t%s"))
    log_event(run.message, 1, "Could not open Receipt Template File: %s\n", template_path.c_str());
  finish_body_file(run, body, body_file);
  int sent = send_message(run, body_file, header_text, false, "", {}, "receipt");
  outcome.done((sent == kMailQueued ? "queued for " : "sent to ") +
               first_address(run.request.field_text("EMAIL")));
  return 1;
}

bool send_confirmation_mail(Run& run, const std::string& address, const std::string& subject,
                            const std::string& body) {
  ActionRecord outcome(run, "confirmation_mail");
  if (!admit_receipt(run, address)) {
    outcome.done("skipped: ReceiptsPerAddress reached for " + address);
    return false;
  }
  platform::TempFile body_file = make_mail_temp_file(run.message);
  platform::DescriptorStream body_stream(body_file.fd());
  body_stream << body;
  finish_body_file(run, body_stream, body_file);
  std::string header_text = with_chosen_sender(
      run,
      header_line("From", first_address(run.request.field_text("RECEIPT_FROM"))) +
          address_header_line("To", address) + header_line("Subject", subject),
      false);
  int sent = send_message(run, body_file, header_text, false, "", {}, "confirmation_mail");
  outcome.done((sent == kMailQueued ? "queued for " : "sent to ") + address);
  return true;
}

std::string build_header_text(const CgiRequest& request, std::string_view sender_field,
                              std::string_view recipients_field, std::string_view subject_field,
                              Recipients recipients) {
  std::string_view list = request.field_text(recipients_field);
  std::string first;
  if (recipients == Recipients::kFirstOnly) list = first = first_address(list);
  return header_line("From", first_address(request.field_text(sender_field))) +
         address_header_line("To", list) +
         header_line("Subject", header_safe_value(request, subject_field));
}

int send_message(Run& run, platform::TempFile& body_file, const std::string& header_text,
                 bool encrypt, const std::string& target,
                 std::span<const MailAttachment> extra_attachments, const char* delivery_kind) {
  if (encrypt) body_file = encrypt_file(run, body_file.fd(), target);
  platform::TempFile header_file = make_mail_temp_file(run.message);
  write_header_file(run, header_file, header_text);
  MailMessage& message = run.message;
  message.body_file = body_file.path();
  message.header_file = header_file.path();
  message.body_fd = body_file.fd();
  message.header_fd = header_file.fd();
  message.recipient_file.clear();
  message.connect_timeout = 30;
  std::vector<MailAttachment> attachments = take_pending_attachment(run.template_state);
  attachments.insert(attachments.end(), extra_attachments.begin(), extra_attachments.end());
  if (!run.archive_id.empty()) {
    ArchivedSend sent = send_archived_mail(run, attachments, delivery_kind);
    message.body_fd = message.header_fd = -1;
    if (sent == ArchivedSend::kFailed)
      fail_request(run.message, kSendFailed, Reason::kDeliveryFailed);
    return sent == ArchivedSend::kQueued ? kMailQueued : 1;
  }
  SessionResult result = run_mail_session(message, attachments, kWatchdogBudget);
  message.body_fd = message.header_fd = -1;
  count_delivery_end(run.site.metrics(), delivery_kind,
                     {result == SessionResult::kSent ? "delivered" : "failed"});
  if (result != SessionResult::kSent)
    fail_request(run.message, kSendFailed, Reason::kDeliveryFailed);
  return 1;
}
