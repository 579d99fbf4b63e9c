#include "velloc/archive/delivery_records.h"

#include <gtest/gtest.h>

#include "tests/support/cgi_runner.h"
#include "velloc/mail/stored_mail.h"
#include "velloc/storage/odbc_database.h"

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

// A mail sent whose attempt the store refuses to record: a real SQLite store made
// to refuse every change of a delivery (by a trigger another connection adds),
// given back after `refusals` tries or never.
class UnrecordedAttemptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string connection =
        "DRIVER=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so;Database=" + dir_.file("s.db");
    std::string error;
    store_ = open_odbc_archive_store(connection, &error);
    ASSERT_NE(nullptr, store_) << error;
    StoredMail mail{"site@x.test", {"owner@x.test"}, "Message-ID: <m1@x.test>\r\n\r\nHi\r\n"};
    std::optional<Delivery> held =
        add_held_delivery(*store_, "s1", "form_mail", "owner@x.test", encode_stored_mail(mail),
                          kCreated, "run 1", &error);
    ASSERT_TRUE(held) << error;
    delivery_ = *held;
    other_ = OdbcDatabase::open(connection, &error);
    ASSERT_NE(nullptr, other_) << error;
    ASSERT_TRUE(other_->execute("CREATE TRIGGER refuse BEFORE UPDATE ON velloc_deliveries "
                                "BEGIN SELECT RAISE(ABORT, 'disk full'); END",
                                {}, &error) &&
                other_->commit(&error))
        << error;
  }

  // How many pauses a record needed, and whether it succeeded.
  std::pair<int, bool> record(int refusals) {
    int pauses = 0;
    RecordRetries retries{4, [&](int retry) {
                            ++pauses;
                            EXPECT_EQ(pauses, retry);
                            if (retry == refusals) give_back();
                          }};
    std::string error;
    bool recorded = record_attempt(*store_, delivery_, {"delivered", 0, false},
                                   {kCreated + 1, "delivered", "250 ok"}, &error, retries);
    if (!recorded) {
      EXPECT_NE(std::string::npos, error.find("disk full")) << error;
    }
    return {pauses, recorded};
  }

  void give_back() {
    std::string error;
    EXPECT_TRUE(other_->execute("DROP TRIGGER refuse", {}, &error) && other_->commit(&error))
        << error;
  }

  std::string status() {
    std::string error;
    std::optional<Delivery> claimed;
    EXPECT_TRUE(store_->claim_due_delivery(kCreated + kDeliveryHoldMs, "deliver", kMinute, &claimed,
                                           &error))
        << error;
    return claimed ? claimed->status : "none";
  }

  testing_support::TempDir dir_;
  std::unique_ptr<ArchiveStore> store_;
  std::unique_ptr<OdbcDatabase> other_;
  Delivery delivery_;
};

TEST_F(UnrecordedAttemptTest, RecordedOnceTheStoreTakesItAgain) {
  EXPECT_EQ(std::make_pair(2, true), record(2));
  EXPECT_EQ("none", status());  // delivered: nobody sends it again
}

TEST_F(UnrecordedAttemptTest, GivenUpAfterItsTriesAndThenSentAgainAfterItsHold) {
  EXPECT_EQ(std::make_pair(3, false), record(0));
  give_back();
  EXPECT_EQ("pending", status());
  EXPECT_EQ(
      "Delivery " + delivery_.id +
          " (form_mail, Message-ID <m1@x.test>) delivered but not recorded: disk full; it may "
          "be sent again once its hold has passed",
      unrecorded_attempt_text(delivery_, {"delivered", 0, false}, "disk full"));
}

}  // namespace
