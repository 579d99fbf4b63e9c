#include "velloc/mail/archived_mail.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "velloc/archive/alerts.h"
#include "velloc/archive/archive_batch.h"
#include "velloc/archive/archive_store.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/archive/given_up_delivery.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/mail/smtp_session.h"
#include "velloc/mail/stored_mail.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

// A mail up to this size is kept whole in its delivery's row. A larger one (with
// files) keeps its first kHeadBytes there, its header with the Message-ID within
// them, and the rest in the store's parts: written from and sent from its file,
// never held whole.
constexpr std::size_t kWholeMailBytes = 256 * 1024;
constexpr std::size_t kHeadBytes = 64 * 1024;

// The first `size` bytes of `fd` (fewer when it is shorter); nullopt when it cannot
// be read.
std::optional<std::string> read_head(int fd, std::size_t size) {
  std::string head(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    ssize_t count = pread(fd, head.data() + got, size - got, static_cast<off_t>(got));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  head.resize(got);
  return head;
}

// The mail whose data is `mail.data` (its signatures, when signed) followed by what
// `fd` holds, split as the store keeps it.
bool split_mail(StoredMail& mail, int fd) {
  const std::size_t prefix = mail.data.size();
  std::optional<std::string> head = read_head(fd, kWholeMailBytes + 1);
  if (!head) return false;
  head->insert(0, mail.data);
  if (head->size() > kWholeMailBytes) {
    head->resize(kHeadBytes);
    mail.rest_fd = fd;
    mail.rest_offset = static_cast<std::int64_t>(kHeadBytes - prefix);
  } else {
    mail.rest_fd = -1;
  }
  mail.data = std::move(*head);
  return true;
}

ArchiveStore* archive_store(Run& run, std::string* error) {
  return run.site.archive_store(
      state_connection_string(run.settings.state_dsn, run.settings.settings_file), error);
}

// The owner's notice of a mail given up at once (DeliveryRetryHours=0); the
// failed action marks the submission failed.
void notify_given_up(Run& run, const Delivery& delivery, const std::string& why) {
  GiveUpNotice notice{run.message, run.message.default_sender, run.settings.default_recipient,
                      run.settings.delivery_retry_hours};
  std::string error;
  if (!send_given_up_notice(delivery, why, notice, &error))
    log_event(run.message, 1, "%s\n", error.c_str());
}

// Queue mode: the mail kept pending for the delivery work, which is woken once it is
// committed (with the run's batch, which then holds `file`, when it has one). False
// when the store cannot keep it (the run then sends it itself).
bool queue_mail(Run& run, ArchiveStore* store, const StoredMail& mail, platform::TempFile& file,
                const char* kind, std::string* error) {
  if (store == nullptr) return false;
  Delivery delivery =
      queued_delivery(run.archive_id, kind, recipients_text(mail), encode_stored_mail(mail),
                      run.site.clock().unix_milliseconds(), mail.rest_fd, mail.rest_offset);
  if (ArchiveBatch* batch = run.archive_batch.get(); batch != nullptr && !batch->ended) {
    batch->deliveries.push_back(std::move(delivery));
    batch->files.push_back(std::move(file));
  } else if (!store->add_delivery(delivery, error)) {
    return false;
  } else {
    run.site.delivery_queued();
  }
  log_event(run.message, LogEvent::kMailQueued, 5, "Mail queued for the delivery work (%s)\n",
            kind);
  return true;
}

}  // namespace

ArchivedSend send_archived_mail(Run& run, std::span<const MailAttachment> attachments,
                                const char* kind) {
  std::optional<platform::TempFile> file = make_message_temp_file(run.message);
  StoredMail mail;
  // Queued, a mail whose key cannot be used now waits for a key that can.
  if (!file || !prepare_stored_mail(run.message, attachments, &mail, file->fd(),
                                    run.settings.delivery_queue))
    return ArchivedSend::kFailed;
  if (!split_mail(mail, file->fd())) {
    log_event(run.message, 1, "The mail could not be read from its temporary file.\n");
    return ArchivedSend::kFailed;
  }
  std::string error;
  ArchiveStore* store = archive_store(run, &error);
  std::string claimer = "run " + run.site.facts().host_name + " " + std::to_string(getpid());
  if (run.settings.delivery_queue) {
    if (queue_mail(run, store, mail, *file, kind, &error)) return ArchivedSend::kQueued;
    if (store != nullptr) run.site.archive_store_failed();
    if (mail.sign_when_sent) {
      log_event(run.message, 1, "Delivery of %s not queued: %s\n", kind, error.c_str());
      return ArchivedSend::kFailed;  // never sent unsigned
    }
    log_event(run.message, 1, "Delivery of %s not queued, sent at once: %s\n", kind, error.c_str());
    store = nullptr;
  }
  std::optional<Delivery> delivery;
  if (store != nullptr)
    delivery = add_held_delivery(*store, run.archive_id, kind, recipients_text(mail),
                                 encode_stored_mail(mail), run.site.clock().unix_milliseconds(),
                                 claimer, &error, mail.rest_fd, mail.rest_offset);
  if (!delivery) {
    if (store != nullptr) run.site.archive_store_failed();
    log_event(run.message, 1, "Delivery of %s not archived: %s\n", kind, error.c_str());
  }
  MailAttemptResult attempt = run_stored_mail_session(run.message, mail, kWatchdogBudget);
  DeliveryOutcome outcome = classify_mail_attempt(attempt);
  if (!delivery) {
    count_delivery_end(run.site.metrics(), kind,
                       {outcome == DeliveryOutcome::kDelivered ? "delivered" : "failed"});
    return outcome == DeliveryOutcome::kDelivered ? ArchivedSend::kSent : ArchivedSend::kFailed;
  }
  std::int64_t now = run.site.clock().unix_milliseconds();
  AttemptDecision decision =
      decide_attempt(*delivery, outcome, now, run.settings.delivery_retry_hours);
  if (!record_attempt(*store, *delivery, decision, {now, mail_attempt_text(attempt), attempt.reply},
                      &error)) {
    run.site.archive_store_failed();
    log_event(run.message, 1, "%s\n", unrecorded_attempt_text(*delivery, decision, error).c_str());
  }
  count_delivery_end(run.site.metrics(), kind, decision);
  if (decision.given_up) notify_given_up(run, *delivery, mail_attempt_text(attempt));
  alert_delivery_end(*delivery, decision, {now, mail_attempt_text(attempt), attempt.reply},
                     alert_settings(*run.settings.site), run.message);
  if (decision.status == "pending") {
    log_event(run.message, LogEvent::kMailQueued, 1, "Mail queued for a later delivery (%s): %s\n",
              kind, mail_attempt_text(attempt).c_str());
    return ArchivedSend::kQueued;
  }
  return outcome == DeliveryOutcome::kDelivered ? ArchivedSend::kSent : ArchivedSend::kFailed;
}
