#include "velloc/mail/stored_mail.h"

#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/text.h"

namespace {

constexpr std::string_view kSenderLine = "MAIL FROM:<";
constexpr std::string_view kRecipientLine = "RCPT TO:<";
constexpr std::string_view kSignLine = "SIGN WHEN SENT";
constexpr std::size_t kPieceBytes = 64 * 1024;

// The address of a line "<prefix>address>"; nullopt when the line is not one.
std::optional<std::string> address_of(std::string_view line, std::string_view prefix) {
  if (!line.starts_with(prefix) || !line.ends_with('>')) return std::nullopt;
  return std::string(line.substr(prefix.size(), line.size() - prefix.size() - 1));
}

}  // namespace

DeliveryOutcome classify_mail_attempt(const MailAttemptResult& attempt) {
  if (attempt.session == SessionResult::kSent) return DeliveryOutcome::kDelivered;
  if (attempt.refusal_code >= 500 && attempt.refusal_code < 600) return DeliveryOutcome::kPermanent;
  return DeliveryOutcome::kTemporary;
}

std::string mail_attempt_text(const MailAttemptResult& attempt) {
  std::string outcome = delivery_outcome_name(classify_mail_attempt(attempt));
  if (attempt.session == SessionResult::kSent) return outcome;
  if (attempt.session == SessionResult::kWatchdogExpired) return "timed out (" + outcome + ")";
  if (attempt.refusal_code != 0)
    return "SMTP " + std::to_string(attempt.refusal_code) + " (" + outcome + ")";
  return "not sent (" + outcome + ")";
}

bool for_each_piece(int fd, std::int64_t offset,
                    const std::function<void(std::string_view)>& write) {
  // Left uninitialized: a small file touches only the first of its pages.
  std::unique_ptr<char[]> piece = std::make_unique_for_overwrite<char[]>(kPieceBytes);
  for (;;) {
    ssize_t count = pread(fd, piece.get(), kPieceBytes, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return true;
    offset += count;
    write(std::string_view(piece.get(), static_cast<std::size_t>(count)));
  }
}

std::string encode_stored_mail(const StoredMail& mail) {
  std::string text = std::string(kSenderLine) + mail.sender + ">\n";
  for (const std::string& recipient : mail.recipients)
    text.append(kRecipientLine).append(recipient).append(">\n");
  if (mail.sign_when_sent) text.append(kSignLine).append("\n");
  return text.append("\n").append(mail.data);
}

std::optional<StoredMail> decode_stored_mail(std::string_view text) {
  StoredMail mail;
  bool have_sender = false;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) {
      if (!have_sender) return std::nullopt;
      mail.data = std::string(text.substr(start));
      return mail;
    }
    if (have_sender && line == kSignLine) {
      mail.sign_when_sent = true;
      continue;
    }
    std::optional<std::string> address =
        address_of(line, have_sender ? kRecipientLine : kSenderLine);
    if (!address) return std::nullopt;
    if (have_sender)
      mail.recipients.push_back(std::move(*address));
    else
      mail.sender = std::move(*address);
    have_sender = true;
  }
  return std::nullopt;
}

std::string message_id_of(std::string_view data) {
  constexpr std::string_view kName = "message-id:";
  for (std::size_t start = 0; start < data.size();) {
    std::size_t end = data.find('\n', start);
    std::string_view line = data.substr(start, end == std::string_view::npos ? end : end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) return {};
    if (line.size() >= kName.size() &&
        platform::equal_ignoring_case(line.substr(0, kName.size()), kName))
      return std::string(platform::trim(line.substr(kName.size())));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return {};
}

std::string recipients_text(const StoredMail& mail) {
  std::string text;
  for (const std::string& recipient : mail.recipients)
    text.append(text.empty() ? "" : ", ").append(recipient);
  return text;
}
