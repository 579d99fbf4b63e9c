// The archive against the real SQLite ODBC driver: the claim that keeps two
// deliverers from sending the same delivery, and a record's way in and out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/archive/archive_commands.h"
#include "velloc/archive/archive_store.h"
#include "velloc/storage/odbc_database.h"

namespace {

using testing_support::TempDir;

constexpr char kSqliteDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
constexpr std::int64_t kHold = 1000;

SubmissionFilter filter(const char* form, const char* status, std::int64_t since,
                        std::int64_t until, const char* search) {
  SubmissionFilter f;
  f.form_profile = form;
  f.status = status;
  f.since = since;
  f.until = until;
  f.search = search;
  return f;
}

class ArchiveStoreTest : public ::testing::Test {
 protected:
  std::string connection(const std::string& file) const {
    return std::string("DRIVER=") + kSqliteDriver + ";Database=" + dir_.file(file);
  }

  std::unique_ptr<ArchiveStore> open(const std::string& file = "state.db") {
    std::string error;
    auto store = open_odbc_archive_store(connection(file), &error);
    EXPECT_NE(nullptr, store) << error;
    return store;
  }

  void add_delivery(ArchiveStore& store, const std::string& id, std::int64_t next_attempt,
                    const char* status = "pending") {
    Delivery delivery;
    delivery.id = id;
    delivery.submission_id = "s1";
    delivery.kind = "form_mail";
    delivery.target = "owner@example.com";
    delivery.payload = std::string("To: owner\r\n\r\n\0\xff body", 20);
    delivery.status = status;
    delivery.next_attempt = next_attempt;
    std::string error;
    ASSERT_TRUE(store.add_delivery(delivery, &error)) << error;
  }

  std::string claim(ArchiveStore& store, std::int64_t now, const std::string& claimer) {
    std::optional<Delivery> claimed;
    std::string error;
    EXPECT_TRUE(store.claim_due_delivery(now, claimer, kHold, &claimed, &error)) << error;
    return claimed ? claimed->id : "none";
  }

  TempDir dir_;
};

// One delivery at next_attempt 100; `first_at` (when not 0) a claim by "a" held for
// kHold; then "b" claims at `second_at`.
TEST_F(ArchiveStoreTest, ClaimTakesOnlyDueUnheldPendingDeliveries) {
  struct Case {
    const char* name;
    const char* status;
    std::int64_t first_at;
    std::int64_t second_at;
    const char* second_gets;
  };
  const Case cases[] = {
      {"due, unheld", "pending", 0, 100, "d"},
      {"not yet due", "pending", 0, 99, "none"},
      {"delivered", "delivered", 0, 100, "none"},
      {"failed", "failed", 0, 100, "none"},
      {"held by another", "pending", 100, 100 + kHold - 1, "none"},
      {"hold ended", "pending", 100, 100 + kHold, "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = open(std::string(c.name) + ".db");
    add_delivery(*store, "d", 100, c.status);
    if (c.first_at != 0) {
      EXPECT_EQ("d", claim(*store, c.first_at, "a"));
    }
    EXPECT_EQ(c.second_gets, claim(*store, c.second_at, "b"));
  }
}

// The outbox at 10000: each row a delivery (kind, status, next_attempt, held until).
TEST_F(ArchiveStoreTest, OutboxSummaryCountsPendingDeliveriesByKindAndState) {
  auto store = open();
  std::string error;
  std::optional<std::vector<OutboxKind>> empty = store->outbox_summary(10000, &error);
  ASSERT_TRUE(empty) << error;
  EXPECT_TRUE(empty->empty());
  struct Row {
    const char* kind;
    const char* status;
    std::int64_t next_attempt;
    std::int64_t held_until;
  };
  const Row rows[] = {
      {"form_mail", "pending", 4000, 0},      // due for 6 s
      {"form_mail", "pending", 2000, 9000},   // its hold ended: due for 8 s
      {"form_mail", "pending", 10000, 0},     // due just now
      {"form_mail", "pending", 20000, 0},     // waiting
      {"form_mail", "pending", 1000, 15000},  // held by a sender
      {"form_mail", "delivered", 1000, 0},    // not in the outbox
      {"receipt", "failed", 1000, 0},         // nor this
      {"webhook", "pending", 12000, 0},       // waiting
  };
  int n = 0;
  for (const Row& row : rows) {
    Delivery delivery;
    delivery.id = "d" + std::to_string(++n);
    delivery.submission_id = "s1";
    delivery.kind = row.kind;
    delivery.status = row.status;
    delivery.next_attempt = row.next_attempt;
    delivery.claim = row.held_until != 0 ? "a" + delivery.id : "";
    delivery.claimed_until = row.held_until;
    ASSERT_TRUE(store->add_delivery(delivery, &error)) << error;
  }
  std::optional<std::vector<OutboxKind>> outbox = store->outbox_summary(10000, &error);
  ASSERT_TRUE(outbox) << error;
  auto shown = [](const OutboxKind& k) {
    return k.kind + " due " + std::to_string(k.due) + " waiting " + std::to_string(k.waiting) +
           " claimed " + std::to_string(k.claimed) + " oldest " + std::to_string(k.oldest_due_ms);
  };
  std::vector<std::string> got;
  for (const OutboxKind& kind : *outbox) got.push_back(shown(kind));
  EXPECT_EQ((std::vector<std::string>{"form_mail due 3 waiting 1 claimed 1 oldest 8000",
                                      "webhook due 0 waiting 1 claimed 0 oldest 0"}),
            got);
}

// Delivery "d" due at 5000 (far later than now), held by "a" when `held`; "b" asks
// for it by id at 100: made due now and held, or left as it was.
TEST_F(ArchiveStoreTest, OneDeliveryClaimedByIdWhateverItsSchedule) {
  struct Case {
    const char* name;
    const char* status;
    bool held;
    const char* id;
    bool claimed;
  };
  const Case cases[] = {
      {"pending, not yet due", "pending", false, "d", true},
      {"failed: tried again", "failed", false, "d", true},
      {"delivered", "delivered", false, "d", false},
      {"held by another", "pending", true, "d", false},
      {"another id", "pending", false, "x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = open(std::string(c.name) + ".db");
    add_delivery(*store, "d", c.held ? 50 : 5000, c.status);
    if (c.held) {
      EXPECT_EQ("d", claim(*store, 60, "a"));
    }
    std::optional<Delivery> claimed;
    std::string error;
    ASSERT_TRUE(store->claim_delivery(c.id, 100, "b", kHold, &claimed, &error)) << error;
    ASSERT_EQ(c.claimed, claimed.has_value());
    if (!claimed) continue;
    EXPECT_EQ("pending", claimed->status);
    EXPECT_EQ(100, claimed->next_attempt);
    EXPECT_TRUE(
        store->finish_attempt(*claimed, {110, "delivered", "250 ok"}, "delivered", 0, &error))
        << error;
    EXPECT_EQ("none", claim(*store, 100 + kHold, "c"));
  }
}

TEST_F(ArchiveStoreTest, ClaimTakesTheOldestFirstAndKeepsThePayloadsBytes) {
  auto store = open();
  add_delivery(*store, "late", 50);
  add_delivery(*store, "early", 10);
  std::optional<Delivery> claimed;
  std::string error;
  ASSERT_TRUE(store->claim_due_delivery(100, "a", kHold, &claimed, &error)) << error;
  ASSERT_TRUE(claimed);
  EXPECT_EQ("early", claimed->id);
  EXPECT_EQ(std::string("To: owner\r\n\r\n\0\xff body", 20), claimed->payload);
  EXPECT_EQ("late", claim(*store, 100, "a"));
  EXPECT_EQ("none", claim(*store, 100, "a"));
}

// Queue mode keeps a run whole in one transaction; while the relay is out of reach a
// sender takes only the webhook calls, passing over older mails.
TEST_F(ArchiveStoreTest, ARunIsKeptWholeAndWebhooksAreClaimedAlone) {
  auto store = open();
  ArchivedSubmission submission;
  submission.id = "s1";
  submission.status = "accepted";
  submission.fields = {{"name", "Ann"}};
  Delivery mail, call;
  mail.id = "mail";
  mail.kind = "form_mail";
  call.id = "call";
  call.kind = "webhook";
  call.next_attempt = 20;
  for (Delivery* d : {&mail, &call}) {
    d->submission_id = "s1";
    d->status = "pending";
  }
  std::string error;
  ASSERT_TRUE(
      store->add_run(submission, {{"text_export", "done", 5, "orders.csv"}}, {mail, call}, &error))
      << error;
  std::optional<ArchivedSubmission> found;
  ASSERT_TRUE(store->find("s1", &found, &error)) << error;
  ASSERT_TRUE(found);
  EXPECT_EQ("accepted", found->status);
  EXPECT_EQ(1u, found->outcomes.size());
  EXPECT_EQ(2u, found->deliveries.size());
  std::optional<Delivery> claimed;
  ASSERT_TRUE(store->claim_due_delivery(100, "a", kHold, ArchiveStore::DueKinds::kWebhooks,
                                        &claimed, &error))
      << error;
  EXPECT_EQ("call", claimed ? claimed->id : "none");
  ASSERT_TRUE(store->claim_due_delivery(100, "a", kHold, ArchiveStore::DueKinds::kWebhooks,
                                        &claimed, &error));
  EXPECT_FALSE(claimed);
  EXPECT_EQ("mail", claim(*store, 100, "a"));
  // A submission that is already kept is not kept twice: nothing of the run is.
  EXPECT_FALSE(store->add_run(submission, {}, {}, &error));
}

// The bytes of a delivery after its payload (a mail's files) are kept in parts
// and come back whole, in an archive made before there were parts as in a new
// one; a delivery kept whole in its payload, as older versions kept each, has
// none; the removal of its submission takes them.
TEST_F(ArchiveStoreTest, BytesAfterThePayloadAreKeptInPartsAndGoWithTheSubmission) {
  std::string rest;
  for (int i = 0; rest.size() < 500 * 1024; ++i)
    rest += std::string("\0\xff part ", 8) + std::to_string(i);
  dir_.write("mail", "skip!" + rest);
  int in = ::open(dir_.file("mail").c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(dir_.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  for (const char* file : {"new.db", "older.db"}) {
    SCOPED_TRACE(file);
    auto store = open(file);
    add_delivery(*store, "whole", 10);
    std::string error;
    if (std::string(file) == "older.db") {
      auto db = OdbcDatabase::open(connection(file), &error);
      ASSERT_TRUE(db && db->execute("DROP TABLE velloc_delivery_parts", {}, &error) &&
                  db->commit(&error))
          << error;
    }
    Delivery parted;
    parted.id = "parted";
    parted.submission_id = "s1";
    parted.kind = "form_mail";
    parted.payload = "MAIL FROM:<a@x.test>\nRCPT TO:<b@x.test>\n\nSubject: head\r\n";
    parted.payload_rest_fd = in;
    parted.payload_rest_offset = 5;
    parted.status = "pending";
    parted.next_attempt = 20;
    ASSERT_TRUE(store->add_delivery(parted, &error)) << error;

    EXPECT_EQ("whole", claim(*store, 100, "a"));
    std::optional<Delivery> claimed;
    ASSERT_TRUE(store->claim_due_delivery(100, "a", kHold, &claimed, &error)) << error;
    ASSERT_TRUE(claimed);
    EXPECT_EQ(parted.payload, claimed->payload);
    ASSERT_TRUE(::ftruncate(out, 0) == 0 && ::pwrite(out, "old", 3, 0) == 3);
    std::int64_t written = -1;
    ASSERT_TRUE(store->read_payload_rest("parted", out, &written, &error)) << error;
    EXPECT_EQ(static_cast<std::int64_t>(rest.size()), written);
    EXPECT_TRUE(testing_support::read_file(dir_.file("out")) == rest);
    ASSERT_TRUE(store->read_payload_rest("whole", out, &written, &error)) << error;
    EXPECT_EQ(0, written);

    ASSERT_TRUE(store->remove({"s1"}, &error)) << error;
    ASSERT_TRUE(store->read_payload_rest("parted", out, &written, &error)) << error;
    EXPECT_EQ(0, written);
  }
  ::close(in);
  ::close(out);
}

TEST_F(ArchiveStoreTest, AnAttemptIsRecordedOnlyUnderTheClaimThatHoldsIt) {
  auto store = open();
  add_delivery(*store, "d", 10);
  std::optional<Delivery> first, second;
  std::string error;
  ASSERT_TRUE(store->claim_due_delivery(100, "a", kHold, &first, &error));
  // a's hold ends and b takes the delivery: a's late result must not count.
  ASSERT_TRUE(store->claim_due_delivery(100 + kHold, "b", kHold, &second, &error));
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(store->finish_attempt(*first, {150, "delivered", "250 ok"}, "delivered", 0, &error));
  EXPECT_TRUE(store->finish_attempt(*second, {1200, "SMTP 421 (temporary)", "421 busy"}, "pending",
                                    5000, &error))
      << error;
  EXPECT_EQ("none", claim(*store, 4999, "c"));
  EXPECT_EQ("d", claim(*store, 5000, "c"));
  std::optional<ArchivedSubmission> found;
  ArchivedSubmission submission;
  submission.id = "s1";
  submission.status = "accepted";
  ASSERT_TRUE(store->add_submission(submission, &error)) << error;
  ASSERT_TRUE(store->find("s1", &found, &error)) << error;
  ASSERT_TRUE(found);
  ASSERT_EQ(1u, found->deliveries.size());
  ASSERT_EQ(1u, found->deliveries[0].attempts.size());
  EXPECT_EQ("SMTP 421 (temporary)", found->deliveries[0].attempts[0].result);
  EXPECT_EQ("421 busy", found->deliveries[0].attempts[0].reply);
}

// A sender takes several due deliveries in one claim, records the attempts it made
// in one transaction (one whose claim lapsed is left out) and lets the untried go.
TEST_F(ArchiveStoreTest, ABatchIsClaimedInOrderRecordedTogetherAndItsRestLetGo) {
  auto store = open();
  for (const char* id : {"d3", "d1", "d2", "d4"}) add_delivery(*store, id, id[1] - '0');
  add_delivery(*store, "later", 500);
  std::vector<Delivery> batch;
  std::string error;
  ASSERT_TRUE(
      store->claim_due_deliveries(100, "a", kHold, ArchiveStore::DueKinds::kAll, 3, &batch, &error))
      << error;
  std::vector<std::string> ids;
  for (const Delivery& delivery : batch) ids.push_back(delivery.id);
  EXPECT_EQ((std::vector<std::string>{"d1", "d2", "d3"}), ids);
  EXPECT_EQ("d4", claim(*store, 100, "b"));

  // d2's claim is taken from under it (its hold ended); d3 is let go untried.
  Delivery lapsed = batch[1];
  lapsed.claim = "someone else";
  std::vector<ArchiveStore::FinishedAttempt> finished{
      {&batch[0], {110, "delivered", "250 ok"}, "delivered", 0},
      {&lapsed, {110, "delivered", "250 ok"}, "delivered", 0}};
  std::vector<std::size_t> unheld;
  ASSERT_TRUE(store->finish_attempts(finished, &unheld, &error)) << error;
  EXPECT_EQ(std::vector<std::size_t>{1}, unheld);
  ASSERT_TRUE(store->release_deliveries(std::span(batch).subspan(2), &error)) << error;
  std::optional<Delivery> found;
  ASSERT_TRUE(store->find_delivery("d1", &found, &error) && found) << error;
  EXPECT_EQ("delivered", found->status);
  ASSERT_TRUE(store->find_delivery("d3", &found, &error) && found) << error;
  EXPECT_EQ(0, found->claimed_until);
  EXPECT_EQ("d3", claim(*store, 100, "c"));
  EXPECT_EQ("none", claim(*store, 100, "c"));  // d2 still held by a
}

// Each attempt keeps what the other side answered, in a new archive as in one
// made before replies were kept, whose attempts stay as they were.
TEST_F(ArchiveStoreTest, AnAttemptKeepsItsReplyInNewAndOlderArchives) {
  for (const char* file : {"new.db", "older.db"}) {
    SCOPED_TRACE(file);
    std::string error;
    ArchivedSubmission submission;
    submission.id = "s1";
    submission.status = "accepted";
    ASSERT_TRUE(open(file)->add_submission(submission, &error)) << error;
    add_delivery(*open(file), "before", 10);
    add_delivery(*open(file), "d", 20);
    if (std::string(file) == "older.db") {
      auto db = OdbcDatabase::open(connection(file), &error);
      ASSERT_TRUE(db && db->execute("DROP TABLE velloc_delivery_attempts", {}, &error) &&
                  db->execute("CREATE TABLE velloc_delivery_attempts (delivery_id VARCHAR(40) "
                              "NOT NULL, seq INTEGER NOT NULL, at BIGINT NOT NULL, result TEXT "
                              "NOT NULL, PRIMARY KEY (delivery_id, seq))",
                              {}, &error) &&
                  db->execute("INSERT INTO velloc_delivery_attempts VALUES ('before', 0, 5, "
                              "'not sent, see the log (temporary)')",
                              {}, &error) &&
                  db->commit(&error))
          << error;
    }
    auto store = open(file);
    const DeliveryAttempt attempts[] = {
        {100, "delivered", "250 2.0.0 Ok: queued as 4XyZ"},
        {100, "SMTP 550 (permanent)", "550 5.1.1 <a@x.test>: Recipient address rejected"},
        {100, "temporary", "could not connect to 127.0.0.1 port 1: Connection refused"},
        {100, "HTTP 503 (temporary)", "HTTP/1.1 503 Service Unavailable"},
    };
    for (const DeliveryAttempt& attempt : attempts) {
      std::optional<Delivery> claimed;
      ASSERT_TRUE(store->claim_delivery("d", 100, "a", kHold, &claimed, &error)) << error;
      ASSERT_TRUE(claimed);
      ASSERT_TRUE(store->finish_attempt(*claimed, attempt, "pending", 200, &error)) << error;
    }
    std::optional<ArchivedSubmission> found;
    ASSERT_TRUE(store->find("s1", &found, &error)) << error;
    ASSERT_TRUE(found);
    ASSERT_EQ(2u, found->deliveries.size());
    const std::vector<DeliveryAttempt>& kept = found->deliveries[1].attempts;
    ASSERT_EQ(std::size(attempts), kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
      EXPECT_EQ(attempts[i].result, kept[i].result);
      EXPECT_EQ(attempts[i].reply, kept[i].reply);
    }
    if (std::string(file) == "older.db") {
      ASSERT_EQ(1u, found->deliveries[0].attempts.size());
      EXPECT_EQ("not sent, see the log (temporary)", found->deliveries[0].attempts[0].result);
      EXPECT_EQ("", found->deliveries[0].attempts[0].reply);
    }
  }
}

// Two deliverers, each with its own connection, racing over the same deliveries:
// each delivery goes to exactly one of them.
TEST_F(ArchiveStoreTest, TwoClaimersNeverTakeTheSameDelivery) {
  constexpr int kDeliveries = 60;
  {
    auto store = open();
    for (int i = 0; i < kDeliveries; ++i) add_delivery(*store, std::to_string(100 + i), i);
  }
  std::vector<std::string> taken[2];
  auto deliverer = [&](int which) {
    auto store = open();
    for (int i = 0; i <= kDeliveries; ++i) {
      std::string id = claim(*store, 1000, which == 0 ? "one" : "two");
      if (id == "none") break;
      taken[which].push_back(id);
    }
  };
  std::thread one(deliverer, 0), two(deliverer, 1);
  one.join();
  two.join();
  std::set<std::string> all(taken[0].begin(), taken[0].end());
  all.insert(taken[1].begin(), taken[1].end());
  EXPECT_EQ(static_cast<std::size_t>(kDeliveries), all.size());
  EXPECT_EQ(static_cast<std::size_t>(kDeliveries), taken[0].size() + taken[1].size());
}

ArchivedSubmission spam_submission(const std::string& id) {
  ArchivedSubmission submission;
  submission.id = id;
  submission.status = "spam";
  return submission;
}

// Releases started together: the status update takes the submission for one of
// them only, and only that one's outcome is kept.
TEST_F(ArchiveStoreTest, OneOfManyClaimersTakesTheSubmission) {
  constexpr int kClaimers = 4;
  std::string error;
  ASSERT_TRUE(open()->add_submission(spam_submission("s1"), &error)) << error;
  int taken[kClaimers] = {};
  auto claimer = [&](int which) {
    auto store = open();
    bool changed = false;
    std::string failure;
    ActionOutcome outcome{"release", "done", 100 + which, "by " + std::to_string(which)};
    EXPECT_TRUE(store->claim_submission("s1", "spam", "accepted", &outcome, 0, &changed, &failure))
        << failure;
    taken[which] = changed ? 1 : 0;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kClaimers; ++i) threads.emplace_back(claimer, i);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1, std::count(std::begin(taken), std::end(taken), 1));
  std::optional<ArchivedSubmission> found;
  ASSERT_TRUE(open()->find("s1", &found, &error)) << error;
  ASSERT_TRUE(found);
  EXPECT_EQ("accepted", found->status);
  ASSERT_EQ(1u, found->outcomes.size());
  bool changed = true;
  ASSERT_TRUE(open()->claim_submission("none", "spam", "accepted", nullptr, 0, &changed, &error));
  EXPECT_FALSE(changed);
}

// A submission whose run was killed, claimed for recovery at 5000: once, and
// again only when an earlier recovery's hold has passed.
TEST_F(ArchiveStoreTest, ARecoveryClaimsAReceivedSubmissionOnceAHold) {
  struct Case {
    const char* name;
    const char* status;
    std::int64_t earlier_recovery;  // 0: none
    bool claimed;
  };
  const Case cases[] = {
      {"received", "received", 0, true},
      {"a recovery under way", "received", 5000 - kHold / 2, false},
      {"a recovery's hold passed", "received", 5000 - kHold, true},
      {"accepted", "accepted", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = open(std::string(c.name) + ".db");
    ArchivedSubmission submission = spam_submission("s1");
    submission.status = c.status;
    std::string error;
    ASSERT_TRUE(store->add_submission(submission, &error)) << error;
    if (c.earlier_recovery != 0) {
      ASSERT_TRUE(
          store->add_outcome("s1", {"recovery", "done", c.earlier_recovery, ""}, "", &error))
          << error;
    }
    bool claimed = !c.claimed;
    ASSERT_TRUE(
        store->claim_recovery("s1", {"recovery", "done", 5000, ""}, kHold, &claimed, &error))
        << error;
    EXPECT_EQ(c.claimed, claimed);
    ASSERT_TRUE(
        store->claim_recovery("s1", {"recovery", "done", 5001, ""}, kHold, &claimed, &error))
        << error;
    EXPECT_FALSE(claimed);
  }
}

// A resend's copy of the form mail of "s1" at 100, with form mail "d" (held by "a"
// until 50 + kHold when `held_at` is 50) and a receipt "r" held until 50 + kHold.
TEST_F(ArchiveStoreTest, ADeliveryIsNotAddedWhileOneOfItsKindIsBeingSent) {
  struct Case {
    const char* name;
    std::int64_t held_at;  // 0: "d" not held
    const char* submission;
    std::int64_t now;
    bool added;
  };
  const Case cases[] = {
      {"none held", 0, "s1", 100, true},
      {"the form mail held", 50, "s1", 100, false},
      {"its hold passed", 50, "s1", 50 + kHold, true},
      {"no such submission", 0, "s2", 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = open(std::string(c.name) + ".db");
    std::string error;
    ASSERT_TRUE(store->add_submission(spam_submission("s1"), &error)) << error;
    add_delivery(*store, "d", c.held_at == 0 ? 10 : c.held_at);
    if (c.held_at != 0) {
      EXPECT_EQ("d", claim(*store, c.held_at, "a"));
    }
    Delivery receipt;
    receipt.id = "r";
    receipt.submission_id = "s1";
    receipt.kind = "receipt";
    receipt.status = "pending";
    receipt.claim = "b";
    receipt.claimed_until = 50 + kHold;
    ASSERT_TRUE(store->add_delivery(receipt, &error)) << error;
    Delivery copy;
    copy.id = "copy";
    copy.submission_id = c.submission;
    copy.kind = "form_mail";
    copy.status = "pending";
    copy.claim = "c";
    copy.claimed_until = c.now + kHold;
    bool added = !c.added;
    ASSERT_TRUE(store->add_delivery_unless_held(copy, c.now, &added, &error)) << error;
    EXPECT_EQ(c.added, added);
    std::optional<Delivery> found;
    ASSERT_TRUE(store->find_delivery("copy", &found, &error)) << error;
    ASSERT_EQ(c.added, found.has_value());
    if (found) {
      EXPECT_EQ(c.now + kHold, found->claimed_until);
    }
  }
}

// Fields are written many to a statement: every count, on either side of a
// statement's share, comes back whole and in order, repeated names included.
TEST_F(ArchiveStoreTest, EveryFieldComesBackInOrder) {
  auto store = open();
  std::string error;
  for (int count : {0, 1, 63, 64, 65, 129, 300}) {
    SCOPED_TRACE(count);
    ArchivedSubmission s;
    s.id = "s" + std::to_string(count);
    s.status = "accepted";
    for (int i = 0; i < count; ++i) {
      std::string number = std::to_string(i);
      s.fields.emplace_back(i % 2 ? std::string("COLOUR") : "F" + number,
                            std::string("v'").append(number).append("?"));
    }
    ASSERT_TRUE(store->add_submission(s, &error)) << error;
    std::optional<ArchivedSubmission> found;
    ASSERT_TRUE(store->find(s.id, &found, &error)) << error;
    ASSERT_TRUE(found);
    EXPECT_EQ(s.fields, found->fields);
  }
}

TEST_F(ArchiveStoreTest, FiltersFindAndRemoveReachEveryTable) {
  auto store = open();
  std::string error;
  auto add = [&](const char* id, std::int64_t at, const char* form, const char* status,
                 const char* email) {
    ArchivedSubmission s;
    s.id = id;
    s.received_at = at;
    s.keep_until = at + 100;
    s.form_profile = form;
    s.status = status;
    s.fields = {{"NAME", "Ann 100%"}, {"EMAIL", email}};
    s.uploads = {{"FILE", "cv.pdf", "application/pdf", 3, std::string(64, 'a'), ""}};
    ASSERT_TRUE(store->add_submission(s, &error)) << error;
    ASSERT_TRUE(store->add_outcome(id, {"form_mail", "done", at, "sent"}, "", &error)) << error;
  };
  add("s1", 1000, "contact", "accepted", "Ann@Example.com");
  add("s2", 2000, "order", "spam", "bob@example.com");
  add("s3", 3000, "contact", "accepted", "carl@example.com");
  add_delivery(*store, "d3", 3000);
  auto ids = [&](const SubmissionFilter& filter) {
    std::string listed;
    auto submissions = store->list(filter, &error);
    EXPECT_TRUE(submissions) << error;
    for (const ArchivedSubmission& s : submissions.value_or(std::vector<ArchivedSubmission>()))
      listed += s.id + " ";
    return listed;
  };
  EXPECT_EQ("s3 s2 s1 ", ids(SubmissionFilter()));
  EXPECT_EQ("s3 s1 ", ids(filter("contact", "", 0, 0, "")));
  EXPECT_EQ("s2 ", ids(filter("", "spam", 0, 0, "")));
  EXPECT_EQ("s2 ", ids(filter("", "", 2000, 3000, "")));
  EXPECT_EQ("s1 ", ids(filter("", "", 0, 0, "ann@EXAMPLE")));
  EXPECT_EQ("s3 s2 s1 ", ids(filter("", "", 0, 0, "100%")));
  EXPECT_EQ("", ids(filter("", "", 0, 0, "n_1")));
  EXPECT_EQ(std::vector<std::string>({"s1", "s2"}), *store->expired(2100, &error));
  EXPECT_EQ(std::vector<std::string>({"s1"}), *store->holding("ann@example.com", &error));
  // d3 belongs to s1 (add_delivery's submission).
  EXPECT_EQ("s1 ", ids(filter("", "pending", 0, 0, "")));
  // An export's records are whole but for the bytes to send.
  auto exported = store->records(filter("", "pending", 0, 0, ""), nullptr, 10, &error);
  ASSERT_TRUE(exported) << error;
  ASSERT_EQ(1u, exported->size());
  EXPECT_EQ("cv.pdf", (*exported)[0].uploads[0].shown_name);
  ASSERT_EQ(1u, (*exported)[0].deliveries.size());
  EXPECT_EQ("owner@example.com", (*exported)[0].deliveries[0].target);
  EXPECT_EQ("", (*exported)[0].deliveries[0].payload);
  ASSERT_TRUE(store->remove({"s1", "s2"}, &error)) << error;
  EXPECT_EQ("s3 ", ids(SubmissionFilter()));
  std::optional<ArchivedSubmission> found;
  ASSERT_TRUE(store->find("s3", &found, &error));
  ASSERT_TRUE(found);
  EXPECT_EQ("carl@example.com", found->fields[1].second);
  EXPECT_EQ("cv.pdf", found->uploads[0].shown_name);
  EXPECT_EQ("sent", found->outcomes[0].detail);
  EXPECT_EQ("none", claim(*store, 5000, "a"));  // s1's delivery went with it
}

// An export read a page at a time is the export read at once: submissions
// received at the same moment are neither repeated nor skipped at a page's edge,
// and each field name has its column where it first comes.
TEST_F(ArchiveStoreTest, AnExportReadPageByPageIsTheWholeExport) {
  auto store = open();
  std::string error;
  const std::vector<std::pair<const char*, std::int64_t>> received = {
      {"a", 100}, {"b", 200}, {"c", 200}, {"d", 200}, {"e", 300}, {"f", 50}};
  for (const auto& [id, at] : received) {
    ArchivedSubmission s;
    s.id = id;
    s.received_at = at;
    s.status = "accepted";
    s.fields = {{"NAME", std::string("name ") + id}, {std::string("ONLY_") + id, "x"}};
    ASSERT_TRUE(store->add_submission(s, &error)) << error;
  }
  auto exported = [&](bool json, int page) {
    std::string text;
    std::ostringstream err;
    EXPECT_EQ(kArchiveOk, export_submissions(
                              *store, SubmissionFilter(), json,
                              [&](std::string&& piece) { text += piece; }, err, page))
        << err.str();
    return text;
  };
  const std::string csv = exported(false, 1000);
  EXPECT_EQ(0u, csv.find("\"id\",\"received\",\"status\",\"form\",\"remote_address\","
                         "\"receipt_number\",\"NAME\",\"ONLY_e\",\"ONLY_d\",\"ONLY_c\","
                         "\"ONLY_b\",\"ONLY_a\",\"ONLY_f\"\n"))
      << csv;
  EXPECT_EQ(7, std::count(csv.begin(), csv.end(), '\n'));
  const std::string json = exported(true, 1000);
  for (int page : {1, 2, 3, 5, 6}) {
    SCOPED_TRACE(page);
    EXPECT_EQ(csv, exported(false, page));
    EXPECT_EQ(json, exported(true, page));
  }

  // Submissions whose fields fill a page alone come a page each, whatever the
  // page's count.
  const std::size_t filling = kRecordsBytes / kRecordFieldCost + 1;
  for (const char* id : {"g", "h"}) {
    ArchivedSubmission s;
    s.id = id;
    s.received_at = 400;
    s.status = "accepted";
    s.fields.assign(filling, {"NAME", "x"});
    ASSERT_TRUE(store->add_submission(s, &error)) << error;
  }
  auto first = store->records(SubmissionFilter(), nullptr, 1000, &error);
  ASSERT_TRUE(first) << error;
  ASSERT_EQ(1u, first->size());
  EXPECT_EQ("h", first->back().id);
  EXPECT_EQ(filling, first->back().fields.size());
  EXPECT_EQ(exported(false, 1), exported(false, 1000));
  EXPECT_EQ(exported(true, 1), exported(true, 1000));
}

// Past kCsvFieldColumns names, those held by the fewest submissions (the last to
// come of those held by as many) share one more column of name=value pairs, in
// the submission's order, "%", "&", "=" and control characters encoded.
TEST_F(ArchiveStoreTest, ACsvExportKeepsItsColumnsBounded) {
  auto store = open();
  std::string error;
  ArchivedSubmission many;
  many.id = "b";
  many.received_at = 200;
  many.status = "accepted";
  many.fields = {{"NAME", "Bo"}};
  for (std::size_t i = 0; i < kCsvFieldColumns; ++i)
    many.fields.emplace_back("OWN" + std::to_string(i), "v");
  many.fields.back().second = "a&b=c%\n";
  many.fields.emplace_back("EMAIL", "bo@example.com");
  ArchivedSubmission few;
  few.id = "a";
  few.received_at = 100;
  few.status = "accepted";
  few.fields = {{"EMAIL", "al@example.com"}, {"NAME", "Al"}};
  ASSERT_TRUE(store->add_submission(many, &error) && store->add_submission(few, &error)) << error;
  std::string csv;
  std::ostringstream err;
  ASSERT_EQ(kArchiveOk, export_submissions(
                            *store, SubmissionFilter(), false,
                            [&](std::string&& piece) { csv += piece; }, err));
  std::istringstream lines(csv);
  std::string header, row_b, row_a;
  std::getline(lines, header);
  std::getline(lines, row_b);
  std::getline(lines, row_a);
  // NAME, the first 998 of OWN and EMAIL; OWN998 and OWN999 are the others.
  EXPECT_EQ(static_cast<long>(6 + kCsvFieldColumns + 1),
            std::count(header.begin(), header.end(), ',') + 1);
  EXPECT_TRUE(header.find(",\"NAME\",\"OWN0\",") != std::string::npos) << header.substr(0, 200);
  EXPECT_TRUE(header.ends_with(",\"OWN997\",\"EMAIL\",\"other_fields\"")) << header;
  EXPECT_TRUE(row_b.ends_with(",\"v\",\"bo@example.com\",\"OWN998=v&OWN999=a%26b%3Dc%25%0A\""))
      << row_b;
  EXPECT_TRUE(row_a.starts_with("\"a\",") && row_a.ends_with(",\"\",\"al@example.com\",\"\""))
      << row_a;
  EXPECT_EQ(3, std::count(csv.begin(), csv.end(), '\n'));
}

}  // namespace

// A submission keeps the tags its profile's rules gave it, and a listing finds it by
// one; an archive made before tags were kept lists its submissions untagged and keeps
// the tags of those added since.
TEST(ArchiveStoreTags, KeptAndFilteredInNewAndOlderArchives) {
  for (bool older : {false, true}) {
    SCOPED_TRACE(older ? "older" : "new");
    TempDir dir;
    std::string error;
    std::string connection =
        std::string("DRIVER=") + kSqliteDriver + ";Database=" + dir.file("state.db");
    if (older) {
      auto db = OdbcDatabase::open(connection, &error);
      ASSERT_TRUE(db &&
                  db->execute("CREATE TABLE velloc_submissions (submission_id VARCHAR(40) "
                              "PRIMARY KEY, received_at BIGINT NOT NULL, keep_until BIGINT NOT "
                              "NULL, form_profile TEXT NOT NULL, remote_address TEXT NOT NULL, "
                              "receipt_number TEXT NOT NULL, status VARCHAR(16) NOT NULL)",
                              {}, &error) &&
                  db->execute("INSERT INTO velloc_submissions VALUES ('old', 1, 0, 'shop', "
                              "'192.0.2.1', '', 'accepted')",
                              {}, &error) &&
                  db->commit(&error))
          << error;
    }
    auto store = open_odbc_archive_store(connection, &error);
    ASSERT_TRUE(store) << error;
    const std::pair<const char*, std::vector<std::string>> added[] = {
        {"a", {"big", "support"}}, {"b", {"big_x"}}, {"c", {}}};
    for (const auto& [id, tags] : added) {
      ArchivedSubmission submission;
      submission.id = id;
      submission.received_at = 10;
      submission.status = "accepted";
      submission.tags = tags;
      ASSERT_TRUE(store->add_submission(submission, &error)) << error;
    }
    auto ids_tagged = [&](const char* tag) {
      SubmissionFilter tagged;
      tagged.tag = tag;
      std::vector<std::string> ids;
      std::optional<std::vector<ArchivedSubmission>> listed = store->list(tagged, &error);
      if (!listed) ADD_FAILURE() << error;
      for (const ArchivedSubmission& s : listed.value_or(std::vector<ArchivedSubmission>()))
        ids.push_back(s.id);
      return ids;
    };
    EXPECT_EQ(std::vector<std::string>{"a"}, ids_tagged("big"));
    EXPECT_EQ(std::vector<std::string>{"a"}, ids_tagged("support"));
    EXPECT_EQ(std::vector<std::string>{"b"}, ids_tagged("big_x"));
    EXPECT_EQ(std::vector<std::string>{}, ids_tagged("bi"));
    std::optional<ArchivedSubmission> found;
    ASSERT_TRUE(store->find("a", &found, &error)) << error;
    EXPECT_EQ((std::vector<std::string>{"big", "support"}), found->tags);
    std::optional<std::vector<ArchivedSubmission>> all = store->list({}, &error);
    ASSERT_TRUE(all) << error;
    EXPECT_EQ(older ? 4u : 3u, all->size());
    if (older) {
      ASSERT_TRUE(store->find("old", &found, &error)) << error;
      EXPECT_TRUE(found->tags.empty());
    }
  }
}
