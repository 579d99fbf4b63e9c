// The counters behind the metrics, in memory that a FastCGI supervisor shares
// with the workers it forks: the entry point makes the MetricsStore before the
// first fork, every process counts into the same fixed-size block with atomic
// additions, and a worker's counts outlive the worker, so that no counter goes
// backwards while the server runs. Counting allocates nothing and takes no lock.
// The store owns its mapping and the descriptor behind it; a forked child uses
// the copy of the object it inherits, which maps the same memory. A server that
// executes a new program in its own process hands it the descriptor, and the new
// program's store goes on counting in the same block.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "velloc/metrics/metrics_labels.h"

// The form a submission is counted under: a registered form profile, or one of
// the two slots every store has.
using FormSlot = std::uint32_t;
inline constexpr FormSlot kNoProfileSlot = 0;     // "none": the request named no profile
inline constexpr FormSlot kOtherProfileSlot = 1;  // "other": unknown, or beyond the slots
// How many form profiles get series of their own, and the longest name one may
// have (in bytes); others count as "other".
inline constexpr std::size_t kMaxFormProfiles = 256;
inline constexpr std::size_t kMaxFormNameBytes = 96;
inline constexpr std::size_t kFormSlotCount = kMaxFormProfiles + 2;

// The upper bounds of the request-duration buckets, in seconds; one more bucket
// (+Inf) takes what is slower.
inline constexpr std::array<double, 15> kDurationBucketBounds = {
    0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};
inline constexpr std::size_t kDurationBucketCount = kDurationBucketBounds.size() + 1;

// The durations of one route as read at one moment.
struct DurationHistogram {
  // Per bucket, not cumulative; the last is the +Inf bucket.
  std::array<std::uint64_t, kDurationBucketCount> buckets{};
  std::uint64_t sum_nanoseconds = 0;
};

struct SharedCounters;

class MetricsStore {
 public:
  // Maps a new shared block; when the kernel refuses, the counters live in this
  // process only (shared() is false) and the metrics still work for it.
  MetricsStore();
  // Takes over `inherited_fd`, the handover_fd() of the program that executed
  // this one, and its counts. When it is no block of this program's layout (a
  // version that counts other things), it is closed, `*error` says why and the
  // store starts from zero.
  MetricsStore(int inherited_fd, std::string* error);
  ~MetricsStore();
  MetricsStore(const MetricsStore&) = delete;
  MetricsStore& operator=(const MetricsStore&) = delete;

  bool shared() const { return shared_; }
  // The block's descriptor (close-on-exec: clear that just before handing it to
  // a program executed anew); -1 when it has none.
  int handover_fd() const { return fd_; }

  // The slot of the form profile `name` (a profile the settings define, named as
  // they spell it): registered on first use, in every process at once.
  // kOtherProfileSlot when all slots are taken, or the name is empty or longer
  // than kMaxFormNameBytes.
  FormSlot form_slot(std::string_view name);

  void count_submission(FormSlot form, Outcome outcome);
  void observe_duration(Route route, std::chrono::nanoseconds duration);
  void count_delivery(DeliveryKind kind, DeliveryResult result);
  void count_worker_restart();

  // Reading, for the exposition. Slots from 2 up to form_slot_count() are the
  // registered profiles, in the order they were registered; form_name is empty
  // for one whose registration has not finished (or never will: its process died).
  std::size_t form_slot_count() const;
  std::string_view form_name(FormSlot form) const;  // "none", "other" or the profile
  std::uint64_t submissions(FormSlot form, Outcome outcome) const;
  DurationHistogram durations(Route route) const;
  std::uint64_t deliveries(DeliveryKind kind, DeliveryResult result) const;
  std::uint64_t worker_restarts() const;

 private:
  void map_new_block();
  bool adopt_block(int fd, std::string* error);

  SharedCounters* counters_ = nullptr;
  bool shared_ = false;
  int fd_ = -1;
};
