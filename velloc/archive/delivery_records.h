// The deliveries of an archived submission as their senders record them: one is
// added held by whoever sends it at once (a web run, --resend), so that no
// --deliver takes it meanwhile and a run killed mid-send leaves it pending; each
// attempt is then recorded with the next one scheduled, or the delivery ended.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velloc/archive/archive_store.h"
#include "velloc/metrics/metrics_store.h"
#include "velloc/webhook/delivery_outcome.h"

// How long an added or claimed delivery is held: longer than any send takes (the
// SMTP watchdog's 150 seconds, a webhook's timeout).
inline constexpr std::int64_t kDeliveryHoldMs = 10 * 60 * 1000;

// A new pending delivery of a new id, held by `claimer` from `now` (milliseconds)
// for kDeliveryHoldMs: its bytes are `payload`, followed, when `rest_fd` is not -1,
// by that file's content from `rest_offset` on.
Delivery held_delivery(const std::string& submission_id, const std::string& kind,
                       const std::string& target, const std::string& payload, std::int64_t now,
                       const std::string& claimer, int rest_fd = -1, std::int64_t rest_offset = 0);

// A new pending delivery as held_delivery makes it, due at `now` and held by nobody:
// kept for the delivery work (queue mode), which claims it before it sends it.
Delivery queued_delivery(const std::string& submission_id, const std::string& kind,
                         const std::string& target, const std::string& payload, std::int64_t now,
                         int rest_fd = -1, std::int64_t rest_offset = 0);

// Adds held_delivery(...) to the store. nullopt with `*error` set when the store
// fails.
std::optional<Delivery> add_held_delivery(ArchiveStore& store, const std::string& submission_id,
                                          const std::string& kind, const std::string& target,
                                          const std::string& payload, std::int64_t now,
                                          const std::string& claimer, std::string* error,
                                          int rest_fd = -1, std::int64_t rest_offset = 0);

// The status a held delivery takes after an attempt at `now` ended so, and when
// the next is due (milliseconds; 0 when none).
struct AttemptDecision {
  std::string status;  // "delivered", "failed" or "pending"
  std::int64_t next_attempt = 0;
  bool given_up = false;  // temporary, but retried for DeliveryRetryHours already
};
// Pure: the retry schedule counted from the delivery's creation; a next attempt
// is never due before `now` has passed, so one --deliver tries each delivery once.
AttemptDecision decide_attempt(const Delivery& delivery, DeliveryOutcome outcome, std::int64_t now,
                               int retry_hours);

// How often recording an attempt is tried when the store fails: a mail already
// sent whose attempt is not recorded is sent again once its hold has passed.
struct RecordRetries {
  int attempts = 4;
  // Called before the n-th try again (n from 1), before the store reconnects;
  // by default it waits 250 ms, doubled each time (1.75 s in all).
  std::function<void(int retry)> pause;
};

// Records the attempt and releases the delivery, trying again as `retries` say.
// False with `*error` set (the last failure) when no try succeeded.
bool record_attempt(ArchiveStore& store, const Delivery& delivery, const AttemptDecision& decision,
                    const DeliveryAttempt& attempt, std::string* error,
                    const RecordRetries& retries = {});

// Records the attempts of a claimed batch and lets their deliveries go, in one
// transaction tried again as `retries` say. Each attempt not recorded is added to
// `*unrecorded` with why (its index and the failure). False when no try succeeded:
// then none is recorded.
bool record_attempts(ArchiveStore& store, std::span<const ArchiveStore::FinishedAttempt> attempts,
                     std::vector<std::pair<std::size_t, std::string>>* unrecorded,
                     const RecordRetries& retries = {});

// Counts how an attempt of `kind` ended into the metrics (none: nothing counted): sent,
// deferred (tried again later), failed (refused for good) or given up.
void count_delivery_end(MetricsStore* metrics, std::string_view kind,
                        const AttemptDecision& decision);

// The delivery's target as the operator is shown it: a webhook's address without
// the user, password and query that may carry its credentials; a mail's recipients.
std::string shown_target(const Delivery& delivery);

// The log line (without its line end) of an attempt made but not recorded, naming
// the delivery and, for a mail, its Message-ID, by which a copy sent again can be
// told from a second submission.
std::string unrecorded_attempt_text(const Delivery& delivery, const AttemptDecision& decision,
                                    const std::string& error);
