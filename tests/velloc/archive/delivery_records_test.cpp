#include "velloc/archive/delivery_records.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kMinute = 60 * 1000;
constexpr std::int64_t kCreated = 1'700'000'000'000;

// The schedule counts from the delivery's creation; a next attempt is never due
// at the time of the one just made, so one --deliver tries a delivery once.
TEST(DeliveryRecordsTest, AttemptDecidesStatusAndNextTime) {
  struct Case {
    int attempts_made;
    DeliveryOutcome outcome;
    std::int64_t now;
    int retry_hours;
    AttemptDecision expected;
  };
  const Case cases[] = {
      {0, DeliveryOutcome::kDelivered, kCreated, 72, {"delivered", 0, false}},
      {0, DeliveryOutcome::kPermanent, kCreated, 72, {"failed", 0, false}},
      {0, DeliveryOutcome::kTemporary, kCreated, 72, {"pending", kCreated + kMinute, false}},
      {1,
       DeliveryOutcome::kTemporary,
       kCreated + 2 * kMinute,
       72,
       {"pending", kCreated + 6 * kMinute, false}},
      // Tried late (a --deliver that did not run for an hour): due after now.
      {1,
       DeliveryOutcome::kTemporary,
       kCreated + 60 * kMinute,
       72,
       {"pending", kCreated + 60 * kMinute + 1, false}},
      {3, DeliveryOutcome::kTemporary, kCreated, 72, {"pending", kCreated + 51 * kMinute, false}},
      // 1 + 5 + 15 + 30 minutes, then hourly: the 76th attempt would lie past 72 hours.
      {74,
       DeliveryOutcome::kTemporary,
       kCreated,
       72,
       {"pending", kCreated + (51 + 71 * 60) * kMinute, false}},
      {75, DeliveryOutcome::kTemporary, kCreated + 72 * 60 * kMinute, 72, {"failed", 0, true}},
      {4, DeliveryOutcome::kTemporary, kCreated, 1, {"failed", 0, true}},
      {74, DeliveryOutcome::kDelivered, kCreated, 72, {"delivered", 0, false}},
  };
  for (const Case& c : cases) {
    Delivery delivery;
    delivery.created_at = kCreated;
    delivery.attempts_made = c.attempts_made;
    AttemptDecision decision = decide_attempt(delivery, c.outcome, c.now, c.retry_hours);
    EXPECT_EQ(c.expected.status, decision.status) << c.attempts_made;
    EXPECT_EQ(c.expected.next_attempt, decision.next_attempt) << c.attempts_made;
    EXPECT_EQ(c.expected.given_up, decision.given_up) << c.attempts_made;
  }
}

}  // namespace
