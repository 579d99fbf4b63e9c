#include "velloc/archive/delivery_commands.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <ostream>
#include <span>
#include <utility>
#include <vector>

#include "velloc/archive/archive_commands.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/archive/given_up_delivery.h"
#include "velloc/mail/dkim_signer.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/mail/message_identity.h"
#include "velloc/mail/smtp_session.h"
#include "velloc/mail/stored_mail.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"
#include "velloc/site.h"
#include "velloc/webhook/webhook_body.h"
#include "velloc/webhook/webhook_step.h"

namespace {

// No run sends more than this many: a bound should the store keep handing out
// deliveries (each is tried once a run).
constexpr int kMaxDeliveriesPerRun = 1000000;
// A sender claims this many due deliveries at once and records their attempts
// together: two commits a batch instead of two a delivery. No send of a batch
// starts after half the hold has passed (each ends within the SMTP watchdog or a
// webhook's timeout), so that none is sent once another sender may claim it.
constexpr int kClaimedAtOnce = 8;
constexpr std::chrono::milliseconds kBatchSendTime{kDeliveryHoldMs / 2};

struct Attempt {
  DeliveryOutcome outcome = DeliveryOutcome::kPermanent;
  std::string text;
  std::string reply;  // what the other side answered, or why nothing
  bool relay_unreachable = false;
};

// An attempt ended before anything was sent: nothing answered.
Attempt unsent(DeliveryOutcome outcome, std::string text) { return {outcome, std::move(text), ""}; }

Attempt send_delivery(ArchiveStore& store, const Delivery& delivery,
                      const DeliverySettings& settings, std::int64_t now) {
  if (delivery.kind == "webhook") {
    // Not sent with another form's secret: kept until the profile is back, or given up.
    std::optional<WebhookSettings> webhooks = settings.webhooks_for(delivery.form_profile);
    if (!webhooks)
      return unsent(DeliveryOutcome::kTemporary,
                    "the form profile " + delivery.form_profile + " is not in the settings (" +
                        delivery_outcome_name(DeliveryOutcome::kTemporary) + ")");
    WebhookCall call{delivery.target, kJsonContentType, delivery.payload};
    HttpResult result = send_webhook_call(call, *webhooks, now / 1000);
    DeliveryOutcome outcome = classify_http_result(result);
    return {outcome,
            outcome == DeliveryOutcome::kDelivered ? "delivered" : webhook_failure_text(result),
            http_reply(result)};
  }
  std::optional<StoredMail> mail = decode_stored_mail(delivery.payload);
  if (!mail) return unsent(DeliveryOutcome::kPermanent, "the stored mail cannot be read");
  // The rest of a mail kept in parts goes through a file of its own, made when there
  // is a rest.
  std::optional<platform::TempFile> rest;
  bool no_file = false;
  auto rest_file = [&] {
    if (!rest && !no_file) rest = make_message_temp_file(settings.mail);
    no_file = !rest;
    return rest ? rest->fd() : -1;
  };
  std::int64_t rest_size = 0;
  std::string error;
  if (!store.read_payload_rest(delivery.id, rest_file, &rest_size, &error))
    return unsent(DeliveryOutcome::kTemporary,
                  (no_file ? std::string("no temporary file for the stored mail")
                           : "the stored mail cannot be read now: " + error) +
                      " (" + delivery_outcome_name(DeliveryOutcome::kTemporary) + ")");
  if (rest_size > 0) mail->rest_fd = rest->fd();
  if (mail->sign_when_sent && !sign_stored_mail(settings.mail, &*mail))
    return unsent(DeliveryOutcome::kTemporary,
                  std::string("the mail cannot be signed now; the log says why (") +
                      delivery_outcome_name(DeliveryOutcome::kTemporary) + ")");
  MailAttemptResult result = run_stored_mail_session(settings.mail, *mail, kWatchdogBudget);
  return {classify_mail_attempt(result), mail_attempt_text(result), result.reply,
          result.no_session};
}

// The notice and the failed submission of a delivery given up; what failed to `err`.
void report_given_up(ArchiveStore& store, const Delivery& delivery, const std::string& why,
                     const DeliverySettings& settings, std::int64_t now, std::ostream& err) {
  GiveUpNotice notice{settings.mail, settings.default_sender, settings.default_recipient,
                      settings.retry_hours};
  std::string error;
  if (!send_given_up_notice(delivery, why, notice, &error)) err << "velloc: " << error << '\n';
  if (!mark_given_up(store, delivery, why, now, &error))
    err << "velloc: submission " << delivery.submission_id << " not marked failed: " << error
        << '\n';
}

// What follows an attempt recorded: its line to `out`, its count, and for one that
// ended badly the notice, the failed submission and the alert.
void after_recorded(ArchiveStore& store, const Delivery& delivery, const Attempt& attempt,
                    const AttemptDecision& decision, const DeliverySettings& settings,
                    std::int64_t now, std::ostream& out, std::ostream& err) {
  out << delivery.id << ' ' << delivery.kind << ' ' << decision.status << ": " << attempt.text
      << '\n';
  count_delivery_end(settings.metrics, delivery.kind, decision);
  if (decision.given_up) report_given_up(store, delivery, attempt.text, settings, now, err);
  // A mail refused for good marks its submission failed, as a run's failed mail does
  // (in queue mode the run only queued it).
  std::string error;
  if (decision.status == "failed" && !decision.given_up && delivery.kind != "webhook" &&
      !store.add_outcome(delivery.submission_id, {delivery.kind, "failed", now, attempt.text},
                         "failed", &error))
    err << "velloc: submission " << delivery.submission_id << " not marked failed: " << error
        << '\n';
  alert_delivery_end(delivery, decision, {now, attempt.text, attempt.reply}, settings.alerts,
                     settings.mail);
}

void report_unrecorded(const Delivery& delivery, const AttemptDecision& decision,
                       const std::string& error, const DeliverySettings& settings,
                       std::ostream& err) {
  std::string text = unrecorded_attempt_text(delivery, decision, error);
  err << "velloc: " << text << '\n';
  log_event(settings.mail, 1, "%s\n", text.c_str());
}

// A claimed batch sent in turn, its attempts recorded together. While the relay
// cannot be reached, and once `stop` says so, the mails not tried yet are let go
// untried. False when the store failed.
bool send_claimed(ArchiveStore& store, std::span<const Delivery> claimed,
                  const DeliverySettings& settings, std::int64_t now,
                  const std::function<bool()>& stop, std::ostream& out, std::ostream& err,
                  RelayState* relay) {
  auto claimed_at = std::chrono::steady_clock::now();
  std::vector<Attempt> attempts;
  std::vector<AttemptDecision> decisions;
  for (const Delivery& delivery : claimed) {
    bool unreachable = relay != nullptr && relay->unreachable;
    bool late = std::chrono::steady_clock::now() - claimed_at > kBatchSendTime;
    if ((!attempts.empty() && (stop() || late)) || (unreachable && delivery.kind != "webhook"))
      break;
    attempts.push_back(send_delivery(store, delivery, settings, now));
    if (relay != nullptr && attempts.back().relay_unreachable) relay->unreachable = true;
    decisions.push_back(
        decide_attempt(delivery, attempts.back().outcome, now, settings.retry_hours));
  }
  std::string error;
  std::span<const Delivery> untried = claimed.subspan(attempts.size());
  if (!store.release_deliveries(untried, &error))
    err << "velloc: " << untried.size() << " deliveries wait for their hold to pass: " << error
        << '\n';
  std::vector<ArchiveStore::FinishedAttempt> finished;
  for (std::size_t i = 0; i < attempts.size(); ++i)
    finished.push_back({&claimed[i],
                        {now, attempts[i].text, attempts[i].reply},
                        decisions[i].status,
                        decisions[i].next_attempt});
  std::vector<std::pair<std::size_t, std::string>> unrecorded;
  record_attempts(store, finished, &unrecorded);
  std::vector<const std::string*> why(attempts.size(), nullptr);
  for (const auto& [i, failure] : unrecorded) why[i] = &failure;
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    if (why[i] != nullptr)
      report_unrecorded(claimed[i], decisions[i], *why[i], settings, err);
    else
      after_recorded(store, claimed[i], attempts[i], decisions[i], settings, now, out, err);
  }
  return unrecorded.empty();
}

// Sends a held delivery and records the attempt. False when the store failed.
bool attempt_delivery(ArchiveStore& store, const Delivery& delivery,
                      const DeliverySettings& settings, std::int64_t now, std::ostream& out,
                      std::ostream& err) {
  return send_claimed(
      store, {&delivery, 1}, settings, now, [] { return false; }, out, err, nullptr);
}

}  // namespace

int deliver_due(ArchiveStore& store, const DeliverySettings& settings, std::int64_t now,
                const std::function<bool()>& stop, std::ostream& out, std::ostream& err,
                RelayState* relay) {
  for (int sent = 0; sent < kMaxDeliveriesPerRun && !stop();) {
    std::vector<Delivery> claimed;
    std::string error;
    ArchiveStore::DueKinds kinds = relay != nullptr && relay->unreachable
                                       ? ArchiveStore::DueKinds::kWebhooks
                                       : ArchiveStore::DueKinds::kAll;
    if (!store.claim_due_deliveries(now, settings.claimer, kDeliveryHoldMs, kinds, kClaimedAtOnce,
                                    &claimed, &error)) {
      err << "velloc: cannot claim a delivery: " << error << '\n';
      return kArchiveFailed;
    }
    if (claimed.empty()) return kArchiveOk;
    if (!send_claimed(store, claimed, settings, now, stop, out, err, relay)) return kArchiveFailed;
    sent += static_cast<int>(claimed.size());
  }
  return kArchiveOk;
}

namespace {

// Why delivery `id` could not be claimed: sent or being sent by another run (done
// already), or not in the archive.
int why_not_claimed(const std::string& id, ArchiveStore& store, std::int64_t now,
                    std::ostream& err) {
  std::optional<Delivery> found;
  std::string error;
  if (!store.find_delivery(id, &found, &error)) {
    err << "velloc: cannot read delivery " << id << ": " << error << '\n';
    return kArchiveFailed;
  }
  if (!found) {
    err << "velloc: no delivery " << id << '\n';
    return kArchiveFailed;
  }
  if (found->status == "delivered")
    err << "velloc: delivery " << id << " was delivered already\n";
  else if (found->claimed_until > now)
    err << "velloc: delivery " << id << " is being sent already\n";
  else
    err << "velloc: delivery " << id << " is " << found->status << '\n';
  return kArchiveDoneAlready;
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
  Delivery copy = held_delivery(id, "form_mail", mail->target, mail->payload, now, settings.claimer,
                                rest_size > 0 ? rest->fd() : -1);
  bool added = false;
  if (!store.add_delivery_unless_held(copy, now, &added, &error)) {
    err << "velloc: " << error << '\n';
    return kArchiveFailed;
  }
  if (!added) {
    err << "velloc: the form mail of submission " << id << " is being sent already\n";
    return kArchiveDoneAlready;
  }
  return attempt_delivery(store, copy, settings, now, out, err) ? kArchiveOk : kArchiveFailed;
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
  if (!claimed) return why_not_claimed(id, store, now, err);
  *submission_id = claimed->submission_id;
  return attempt_delivery(store, *claimed, settings, now, out, err) ? kArchiveOk : kArchiveFailed;
}

int run_delivery_command(const ArchiveOptions& options, ArchiveStore& store,
                         const DeliverySettings& settings, std::int64_t now, std::ostream& out,
                         std::ostream& err) {
  if (options.command == ArchiveOptions::Command::kResend)
    return resend_form_mail(options.id, store, settings, now, out, err);
  std::int64_t at = options.now != 0 ? options.now : now;
  int status = deliver_due(
      store, settings, at, [] { return false; }, out, err);
  std::string error;
  std::optional<std::vector<OutboxKind>> outbox;
  if (settings.alerts.any()) outbox = store.outbox_summary(at, &error);
  if (outbox && !check_outbox_alert(store, *outbox, settings.alerts, at, settings.mail, &error))
    err << "velloc: the outbox's alert state cannot be kept: " << error << '\n';
  return status;
}

int with_delivery_settings(Site& site, const std::string& settings_file, int connect_timeout,
                           const std::string& purpose, std::ostream& err,
                           const std::function<int(const DeliverySettings&)>& send) {
  Run sender(site);
  sender.sends_only = true;
  init_mail_message(sender.message, site.facts().host_name, site.facts().temp_directory);
  sender.message.temp_files = site.temp_files();
  sender.message.smtp_pool = site.smtp_pool();
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
    return settings::webhook_settings_for_profile(*sender.settings.site, profile);
  };
  DeliverySettings settings{sender.message,
                            webhooks_for,
                            sender.settings.delivery_retry_hours,
                            sender.settings.default_recipient,
                            sender.message.default_sender,
                            purpose + " " + site.facts().host_name + " " + std::to_string(getpid()),
                            alert_settings(*sender.settings.site),
                            site.metrics()};
  return send(settings);
}
