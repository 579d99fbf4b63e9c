#include "velloc/archive/delivery_commands.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <ostream>

#include "velloc/archive/archive_commands.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/mail/message_identity.h"
#include "velloc/mail/smtp_session.h"
#include "velloc/mail/stored_mail.h"
#include "velloc/request/event_log.h"
#include "velloc/request/settings.h"
#include "velloc/run.h"
#include "velloc/site.h"
#include "velloc/webhook/webhook_body.h"
#include "velloc/webhook/webhook_step.h"

namespace {

// No run sends more than this many: a bound should the store keep handing out
// deliveries (each is tried once a run).
constexpr int kMaxDeliveriesPerRun = 1000000;

struct Attempt {
  DeliveryOutcome outcome = DeliveryOutcome::kPermanent;
  std::string text;
};

Attempt send_delivery(ArchiveStore& store, const Delivery& delivery,
                      const DeliverySettings& settings, std::int64_t now) {
  if (delivery.kind == "webhook") {
    // Not sent with another form's secret: kept until the profile is back, or given up.
    std::optional<WebhookSettings> webhooks = settings.webhooks_for(delivery.form_profile);
    if (!webhooks)
      return {DeliveryOutcome::kTemporary,
              "the form profile " + delivery.form_profile + " is not in the settings (" +
                  delivery_outcome_name(DeliveryOutcome::kTemporary) + ")"};
    WebhookCall call{delivery.target, kJsonContentType, delivery.payload};
    HttpResult result = send_webhook_call(call, *webhooks, now / 1000);
    DeliveryOutcome outcome = classify_http_result(result);
    return {outcome,
            outcome == DeliveryOutcome::kDelivered ? "delivered" : webhook_failure_text(result)};
  }
  std::optional<StoredMail> mail = decode_stored_mail(delivery.payload);
  if (!mail) return {DeliveryOutcome::kPermanent, "the stored mail cannot be read"};
  // The rest of a mail kept in parts goes through a file of its own.
  std::optional<platform::TempFile> rest = make_message_temp_file(settings.mail);
  std::int64_t rest_size = 0;
  std::string error;
  if (!rest)
    return {DeliveryOutcome::kTemporary, std::string("no temporary file for the stored mail (") +
                                             delivery_outcome_name(DeliveryOutcome::kTemporary) +
                                             ")"};
  if (!store.read_payload_rest(delivery.id, rest->fd(), &rest_size, &error))
    return {DeliveryOutcome::kTemporary, "the stored mail cannot be read now: " + error + " (" +
                                             delivery_outcome_name(DeliveryOutcome::kTemporary) +
                                             ")"};
  if (rest_size > 0) mail->rest_fd = rest->fd();
  MailAttemptResult result = run_stored_mail_session(settings.mail, *mail, kWatchdogBudget);
  return {classify_mail_attempt(result), mail_attempt_text(result)};
}

// The one notice of a delivery given up, to the site's owner.
void send_notice(const Delivery& delivery, const std::string& why, const DeliverySettings& settings,
                 std::ostream& err) {
  if (settings.default_recipient.empty()) return;
  StoredMail notice;
  notice.sender = settings.default_sender;
  notice.recipients = {settings.default_recipient};
  std::string subject = "Delivery failed: submission " + delivery.submission_id;
  notice.data = "From: " + settings.default_sender + "\r\nTo: " + settings.default_recipient +
                "\r\nSubject: " + subject + "\r\nDate: " + mail_date(settings.mail.clock->time()) +
                "\r\nMessage-ID: " + new_message_id(settings.mail.local_host) + "\r\n\r\nThe " +
                delivery.kind + " of submission " + delivery.submission_id + " to " +
                delivery.target + " was given up after " + std::to_string(settings.retry_hours) +
                " hours: " + why + ".\r\nvelloc --show " + delivery.submission_id +
                " lists its attempts.\r\n";
  for (char& c : notice.data)
    if (c == '\0') c = ' ';
  MailAttemptResult result = run_stored_mail_session(settings.mail, notice, kWatchdogBudget);
  if (result.session != SessionResult::kSent)
    err << "velloc: the notice of delivery " << delivery.id
        << " was not sent: " << mail_attempt_text(result) << '\n';
}

// Sends a held delivery and records the attempt. False when the store failed.
bool attempt_delivery(ArchiveStore& store, const Delivery& delivery,
                      const DeliverySettings& settings, std::int64_t now, std::ostream& out,
                      std::ostream& err) {
  Attempt attempt = send_delivery(store, delivery, settings, now);
  AttemptDecision decision = decide_attempt(delivery, attempt.outcome, now, settings.retry_hours);
  std::string error;
  if (!record_attempt(store, delivery, decision, attempt.text, now, &error)) {
    std::string text = unrecorded_attempt_text(delivery, decision, error);
    err << "velloc: " << text << '\n';
    log_event(settings.mail, 1, "%s\n", text.c_str());
    return false;
  }
  out << delivery.id << ' ' << delivery.kind << ' ' << decision.status << ": " << attempt.text
      << '\n';
  if (decision.given_up) send_notice(delivery, attempt.text, settings, err);
  return true;
}

int deliver(ArchiveStore& store, const DeliverySettings& settings, std::int64_t now,
            std::ostream& out, std::ostream& err) {
  for (int sent = 0; sent < kMaxDeliveriesPerRun; ++sent) {
    std::optional<Delivery> claimed;
    std::string error;
    if (!store.claim_due_delivery(now, settings.claimer, kDeliveryHoldMs, &claimed, &error)) {
      err << "velloc: cannot claim a delivery: " << error << '\n';
      return kArchiveFailed;
    }
    if (!claimed) return kArchiveOk;
    if (!attempt_delivery(store, *claimed, settings, now, out, err)) return kArchiveFailed;
  }
  return kArchiveOk;
}

}  // namespace

int resend_form_mail(const std::string& id, ArchiveStore& store, const DeliverySettings& settings,
                     std::int64_t now, std::ostream& out, std::ostream& err) {
  std::optional<ArchivedSubmission> found;
  std::string error;
  if (!store.find(id, &found, &error)) {
    err << "velloc: " << error << '\n';
    return kArchiveFailed;
  }
  const Delivery* mail = nullptr;
  if (found)
    for (const Delivery& delivery : found->deliveries)
      if (delivery.kind == "form_mail") mail = &delivery;
  if (mail == nullptr) {
    err << "velloc: no form mail kept for submission " << id << '\n';
    return kArchiveFailed;
  }
  // The same bytes: those after the payload, when it has parts, through a file.
  std::optional<platform::TempFile> rest = make_message_temp_file(settings.mail);
  std::int64_t rest_size = 0;
  if (!rest || !store.read_payload_rest(mail->id, rest->fd(), &rest_size, &error)) {
    err << "velloc: the kept form mail cannot be read: " << (rest ? error : "no temporary file")
        << '\n';
    return kArchiveFailed;
  }
  std::optional<Delivery> copy =
      add_held_delivery(store, id, "form_mail", mail->target, mail->payload, now, settings.claimer,
                        &error, rest_size > 0 ? rest->fd() : -1);
  if (!copy) {
    err << "velloc: " << error << '\n';
    return kArchiveFailed;
  }
  return attempt_delivery(store, *copy, settings, now, out, err) ? kArchiveOk : kArchiveFailed;
}

int retry_delivery(const std::string& id, ArchiveStore& store, const DeliverySettings& settings,
                   std::int64_t now, std::ostream& out, std::ostream& err,
                   std::string* submission_id) {
  std::optional<Delivery> claimed;
  std::string error;
  if (!store.claim_delivery(id, now, settings.claimer, kDeliveryHoldMs, &claimed, &error)) {
    err << "velloc: cannot claim delivery " << id << ": " << error << '\n';
    return kArchiveFailed;
  }
  if (!claimed) {
    err << "velloc: delivery " << id << " is not waiting, or is being sent\n";
    return kArchiveFailed;
  }
  *submission_id = claimed->submission_id;
  return attempt_delivery(store, *claimed, settings, now, out, err) ? kArchiveOk : kArchiveFailed;
}

int run_delivery_command(const ArchiveOptions& options, ArchiveStore& store,
                         const DeliverySettings& settings, std::int64_t now, std::ostream& out,
                         std::ostream& err) {
  if (options.command == ArchiveOptions::Command::kResend)
    return resend_form_mail(options.id, store, settings, now, out, err);
  return deliver(store, settings, options.now != 0 ? options.now : now, out, err);
}

int with_delivery_settings(Site& site, const std::string& settings_file, int connect_timeout,
                           const std::string& purpose, std::ostream& err,
                           const std::function<int(const DeliverySettings&)>& send) {
  Run sender(site);
  sender.sends_only = true;
  init_mail_message(sender.message, site.facts().host_name, site.facts().temp_directory);
  sender.message.temp_files = site.temp_files();
  sender.message.log = site.log_sink();
  sender.message.clock = &site.clock();
  try {
    load_settings_from(sender, settings_file);
  } catch (const RunEnded&) {
    err << "velloc: the settings cannot be used to send\n";
    return kArchiveFailed;
  }
  sender.message.connect_timeout = connect_timeout;
  auto webhooks_for = [&](const std::string& profile) {
    return webhook_settings_for_profile(site, settings_file, profile);
  };
  DeliverySettings settings{
      sender.message,
      webhooks_for,
      sender.settings.delivery_retry_hours,
      sender.settings.default_recipient,
      sender.message.default_sender,
      purpose + " " + site.facts().host_name + " " + std::to_string(getpid())};
  return send(settings);
}
