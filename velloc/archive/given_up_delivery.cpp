#include "velloc/archive/given_up_delivery.h"

#include "velloc/archive/delivery_records.h"
#include "velloc/mail/dkim_signer.h"
#include "velloc/mail/message_identity.h"
#include "velloc/mail/smtp_session.h"
#include "velloc/mail/stored_mail.h"

bool send_given_up_notice(const Delivery& delivery, const std::string& why,
                          const GiveUpNotice& notice, std::string* error) {
  if (notice.recipient.empty()) return true;
  StoredMail mail;
  mail.sender = notice.sender;
  mail.recipients = {notice.recipient};
  std::string subject = "Delivery failed: submission " + delivery.submission_id;
  mail.data = "From: " + notice.sender + "\r\nTo: " + notice.recipient + "\r\nSubject: " + subject +
              "\r\nDate: " + mail_date(notice.mail.clock->time()) +
              "\r\nMessage-ID: " + new_message_id(notice.mail.local_host) + "\r\n\r\nThe " +
              delivery.kind + " of submission " + delivery.submission_id + " to " +
              shown_target(delivery) + " was given up after " + std::to_string(notice.retry_hours) +
              " hours: " + why + ".\r\nvelloc --show " + delivery.submission_id +
              " lists its attempts.\r\n";
  for (char& c : mail.data)
    if (c == '\0') c = ' ';
  if (!sign_stored_mail(notice.mail, &mail)) {
    *error = "the notice of delivery " + delivery.id + " was not sent: it could not be signed";
    return false;
  }
  MailAttemptResult result = run_stored_mail_session(notice.mail, mail, kWatchdogBudget);
  if (result.session == SessionResult::kSent) return true;
  *error = "the notice of delivery " + delivery.id + " was not sent: " + mail_attempt_text(result);
  return false;
}

bool mark_given_up(ArchiveStore& store, const Delivery& delivery, const std::string& why,
                   std::int64_t now, std::string* error) {
  return store.add_outcome(delivery.submission_id,
                           {delivery.kind, "failed", now, "given up: " + why}, "failed", error);
}
