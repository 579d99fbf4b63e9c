#include "velloc/archive/delivery_records.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "velloc/archive/archive_text.h"
#include "velloc/mail/stored_mail.h"
#include "velloc/webhook/retry_schedule.h"
#include "velloc/webhook/webhook_target.h"

namespace {

constexpr std::chrono::milliseconds kFirstRecordPause{250};

}  // namespace

Delivery held_delivery(const std::string& submission_id, const std::string& kind,
                       const std::string& target, const std::string& payload, std::int64_t now,
                       const std::string& claimer, int rest_fd, std::int64_t rest_offset) {
  std::random_device random;
  Delivery delivery;
  delivery.id = make_archive_id(now, random());
  delivery.submission_id = submission_id;
  delivery.kind = kind;
  delivery.target = target;
  delivery.payload = payload;
  delivery.payload_rest_fd = rest_fd;
  delivery.payload_rest_offset = rest_offset;
  delivery.status = "pending";
  delivery.created_at = now;
  delivery.next_attempt = now;
  delivery.claim = claimer + " " + delivery.id;
  delivery.claimed_until = now + kDeliveryHoldMs;
  return delivery;
}

Delivery queued_delivery(const std::string& submission_id, const std::string& kind,
                         const std::string& target, const std::string& payload, std::int64_t now,
                         int rest_fd, std::int64_t rest_offset) {
  Delivery delivery =
      held_delivery(submission_id, kind, target, payload, now, "", rest_fd, rest_offset);
  delivery.claim.clear();
  delivery.claimed_until = 0;
  return delivery;
}

std::optional<Delivery> add_held_delivery(ArchiveStore& store, const std::string& submission_id,
                                          const std::string& kind, const std::string& target,
                                          const std::string& payload, std::int64_t now,
                                          const std::string& claimer, std::string* error,
                                          int rest_fd, std::int64_t rest_offset) {
  Delivery delivery =
      held_delivery(submission_id, kind, target, payload, now, claimer, rest_fd, rest_offset);
  if (!store.add_delivery(delivery, error)) return std::nullopt;
  return delivery;
}

AttemptDecision decide_attempt(const Delivery& delivery, DeliveryOutcome outcome, std::int64_t now,
                               int retry_hours) {
  if (outcome == DeliveryOutcome::kDelivered) return {"delivered", 0, false};
  if (outcome == DeliveryOutcome::kPermanent) return {"failed", 0, false};
  std::optional<std::int64_t> next =
      next_attempt_time(delivery.attempts_made + 1, delivery.created_at / 1000, retry_hours);
  if (!next) return {"failed", 0, true};
  return {"pending", std::max(*next * 1000, now + 1), false};
}

void count_delivery_end(MetricsStore* metrics, std::string_view kind,
                        const AttemptDecision& decision) {
  if (metrics == nullptr) return;
  DeliveryResult result = DeliveryResult::kFailed;
  if (decision.status == "delivered")
    result = DeliveryResult::kSent;
  else if (decision.status == "pending")
    result = DeliveryResult::kDeferred;
  else if (decision.given_up)
    result = DeliveryResult::kGivenUp;
  metrics->count_delivery(delivery_kind_named(kind), result);
}

bool record_attempts(ArchiveStore& store, std::span<const ArchiveStore::FinishedAttempt> attempts,
                     std::vector<std::pair<std::size_t, std::string>>* unrecorded,
                     const RecordRetries& retries) {
  std::string error;
  for (int tried = 0; tried < std::max(retries.attempts, 1); ++tried) {
    if (tried > 0) {
      if (retries.pause)
        retries.pause(tried);
      else
        std::this_thread::sleep_for(kFirstRecordPause * (1 << (tried - 1)));
      std::string ignored;
      store.reconnect(&ignored);
    }
    std::vector<std::size_t> unheld;
    if (store.finish_attempts(attempts, &unheld, &error)) {
      for (std::size_t i : unheld)
        unrecorded->emplace_back(i, ArchiveStore::unheld_text(*attempts[i].claimed));
      return true;
    }
  }
  for (std::size_t i = 0; i < attempts.size(); ++i) unrecorded->emplace_back(i, error);
  return false;
}

bool record_attempt(ArchiveStore& store, const Delivery& delivery, const AttemptDecision& decision,
                    const DeliveryAttempt& attempt, std::string* error,
                    const RecordRetries& retries) {
  ArchiveStore::FinishedAttempt finished{&delivery, attempt, decision.status,
                                         decision.next_attempt};
  std::vector<std::pair<std::size_t, std::string>> unrecorded;
  record_attempts(store, {&finished, 1}, &unrecorded, retries);
  if (unrecorded.empty()) return true;
  *error = unrecorded.front().second;
  return false;
}

std::string unrecorded_attempt_text(const Delivery& delivery, const AttemptDecision& decision,
                                    const std::string& error) {
  std::string text = "Delivery " + delivery.id + " (" + delivery.kind;
  if (delivery.kind != "webhook")
    if (std::optional<StoredMail> mail = decode_stored_mail(delivery.payload))
      if (std::string id = message_id_of(mail->data); !id.empty()) text += ", Message-ID " + id;
  text += ") " + decision.status + " but not recorded: " + error;
  if (decision.status != "pending") text += "; it may be sent again once its hold has passed";
  return text;
}

std::string shown_target(const Delivery& delivery) {
  if (delivery.kind != "webhook") return delivery.target;
  return url_without_credentials(delivery.target);
}
