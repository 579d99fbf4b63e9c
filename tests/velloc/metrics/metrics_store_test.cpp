#include "velloc/metrics/metrics_store.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

using std::chrono::milliseconds;

// A worker counts into the supervisor's store; its counts stay when it exits.
TEST(MetricsStoreTest, CountsOfAForkedChildOutliveIt) {
  MetricsStore store;
  ASSERT_TRUE(store.shared());
  FormSlot contact = store.form_slot("contact");
  store.count_submission(contact, Outcome::kAccepted);
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    store.count_submission(store.form_slot("contact"), Outcome::kAccepted);
    store.count_submission(store.form_slot("order"), Outcome::kRateLimited);
    store.observe_duration(Route::kForm, milliseconds(3));
    store.count_delivery(DeliveryKind::kWebhook, DeliveryResult::kGivenUp);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  store.count_worker_restart();

  EXPECT_EQ(2u, store.submissions(contact, Outcome::kAccepted));
  FormSlot order = store.form_slot("order");  // registered by the child
  EXPECT_EQ(3u, order);
  EXPECT_EQ(1u, store.submissions(order, Outcome::kRateLimited));
  EXPECT_EQ(4u, store.form_slot_count());
  EXPECT_EQ(1u, store.durations(Route::kForm).buckets[2]);  // le 0.005
  EXPECT_EQ(3000000u, store.durations(Route::kForm).sum_nanoseconds);
  EXPECT_EQ(1u, store.deliveries(DeliveryKind::kWebhook, DeliveryResult::kGivenUp));
  EXPECT_EQ(1u, store.worker_restarts());
}

// The server executes a new program in its own process and hands it the block.
TEST(MetricsStoreTest, AProgramExecutedAnewCountsOn) {
  MetricsStore before;
  ASSERT_LE(0, before.handover_fd());
  before.count_submission(before.form_slot("contact"), Outcome::kAccepted);
  std::string error;
  MetricsStore after(dup(before.handover_fd()), &error);
  EXPECT_EQ("", error);
  EXPECT_EQ(1u, after.submissions(after.form_slot("contact"), Outcome::kAccepted));
  after.count_worker_restart();
  EXPECT_EQ(1u, before.worker_restarts());

  // A block another version made (its layout mark is the block's first bytes),
  // and a file of another size, are not taken over.
  int foreign = dup(before.handover_fd());
  const std::uint64_t other_layout = 42;
  ASSERT_EQ(8, pwrite(foreign, &other_layout, sizeof other_layout, 0));
  MetricsStore fresh(foreign, &error);
  EXPECT_NE("", error);
  EXPECT_TRUE(fresh.shared());
  EXPECT_EQ(0u, fresh.worker_restarts());
  error.clear();
  int small = memfd_create("small", MFD_CLOEXEC);
  ASSERT_EQ(0, ftruncate(small, 4096));
  MetricsStore fresh_again(small, &error);
  EXPECT_NE("", error);
  EXPECT_EQ(0u, fresh_again.submissions(kNoProfileSlot, Outcome::kAccepted));
}

TEST(MetricsStoreTest, FormSlotsAreBounded) {
  MetricsStore store;
  EXPECT_EQ(kOtherProfileSlot, store.form_slot(""));
  EXPECT_EQ(kOtherProfileSlot, store.form_slot(std::string(kMaxFormNameBytes + 1, 'x')));
  FormSlot longest = store.form_slot(std::string(kMaxFormNameBytes, 'x'));
  EXPECT_EQ(2u, longest);
  for (std::size_t i = 1; i < kMaxFormProfiles; ++i) store.form_slot("form" + std::to_string(i));
  EXPECT_EQ(kFormSlotCount, store.form_slot_count());
  EXPECT_EQ(kOtherProfileSlot, store.form_slot("one too many"));
  EXPECT_EQ(longest, store.form_slot(std::string(kMaxFormNameBytes, 'x')));
  EXPECT_EQ("none", store.form_name(kNoProfileSlot));
  EXPECT_EQ("other", store.form_name(kOtherProfileSlot));
  EXPECT_EQ("form1", store.form_name(3));
}

}  // namespace
