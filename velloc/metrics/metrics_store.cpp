#include "velloc/metrics/metrics_store.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

namespace {

constexpr char kForeignBlock[] =
    "the metrics handed over are no block of this version: counting starts at zero";

enum SlotState : std::uint32_t { kEmpty = 0, kClaimed = 1, kReady = 2 };

// How often a lookup yields while another process writes a slot's name (a few
// stores) before it passes over the slot: one killed in between never ends it.
constexpr int kClaimedSlotPatience = 1 << 16;

std::uint64_t load(const std::uint64_t& counter) {
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(counter))
      .load(std::memory_order_relaxed);
}

void add(std::uint64_t& counter, std::uint64_t amount) {
  std::atomic_ref<std::uint64_t>(counter).fetch_add(amount, std::memory_order_relaxed);
}

// The bucket bounds in nanoseconds, for comparisons without floating point.
constexpr std::array<std::uint64_t, kDurationBucketBounds.size()> bucket_bounds_ns() {
  std::array<std::uint64_t, kDurationBucketBounds.size()> bounds{};
  for (std::size_t i = 0; i < bounds.size(); ++i)
    bounds[i] = static_cast<std::uint64_t>(kDurationBucketBounds[i] * 1e9 + 0.5);
  return bounds;
}
constexpr auto kBucketBoundsNs = bucket_bounds_ns();

}  // namespace

struct FormName {
  std::uint32_t state;  // SlotState
  std::uint32_t length;
  char bytes[kMaxFormNameBytes];
};

// The shared block; zero bytes are its initial state, but for `layout`.
struct SharedCounters {
  std::uint64_t layout;  // layout_fingerprint() of the program that made it
  FormName forms[kFormSlotCount];
  std::uint64_t submissions[kFormSlotCount][kOutcomeCount];
  std::uint64_t durations[kRouteCount][kDurationBucketCount];
  std::uint64_t duration_ns[kRouteCount];
  std::uint64_t deliveries[kDeliveryKindCount][kDeliveryResultCount];
  std::uint64_t worker_restarts;
};

namespace {

// What a block's counters mean: its size and every label list and bucket bound
// in order (FNV-1a), so that a program counting other things never takes over
// another's block.
std::uint64_t layout_fingerprint() {
  std::uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](std::string_view bytes) {
    for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    hash = (hash ^ 0xff) * 1099511628211ull;
  };
  mix(std::to_string(sizeof(SharedCounters)));
  for (std::size_t i = 0; i < kOutcomeCount; ++i) mix(outcome_name(static_cast<Outcome>(i)));
  for (std::size_t i = 0; i < kRouteCount; ++i) mix(route_name(static_cast<Route>(i)));
  for (std::size_t i = 0; i < kDeliveryKindCount; ++i)
    mix(delivery_kind_name(static_cast<DeliveryKind>(i)));
  for (std::size_t i = 0; i < kDeliveryResultCount; ++i)
    mix(delivery_result_name(static_cast<DeliveryResult>(i)));
  for (std::uint64_t bound : kBucketBoundsNs) mix(std::to_string(bound));
  return hash;
}

void* map_block(int fd) {
  void* block = mmap(nullptr, sizeof(SharedCounters), PROT_READ | PROT_WRITE,
                     fd < 0 ? MAP_SHARED | MAP_ANONYMOUS : MAP_SHARED, fd, 0);
  return block == MAP_FAILED ? nullptr : block;
}

}  // namespace

MetricsStore::MetricsStore() { map_new_block(); }

MetricsStore::MetricsStore(int inherited_fd, std::string* error) {
  if (!adopt_block(inherited_fd, error)) {
    close(inherited_fd);
    map_new_block();
  }
}

MetricsStore::~MetricsStore() {
  if (shared_) {
    munmap(counters_, sizeof(SharedCounters));
  } else {
    delete counters_;
  }
  if (fd_ >= 0) close(fd_);
}

// A memory file, so that the block can be handed to a program executed anew;
// anonymous shared memory when there is none, this process's own at worst.
void MetricsStore::map_new_block() {
  fd_ = memfd_create("velloc-metrics", MFD_CLOEXEC);
  if (fd_ >= 0 && ftruncate(fd_, sizeof(SharedCounters)) != 0) {
    close(fd_);
    fd_ = -1;
  }
  void* block = map_block(fd_);
  if (block == nullptr && fd_ >= 0) {
    close(fd_);
    fd_ = -1;
    block = map_block(-1);
  }
  shared_ = block != nullptr;
  counters_ = shared_ ? new (block) SharedCounters{} : new SharedCounters{};
  counters_->layout = layout_fingerprint();
}

bool MetricsStore::adopt_block(int fd, std::string* error) {
  struct stat status;
  if (fstat(fd, &status) != 0 || status.st_size != sizeof(SharedCounters)) {
    *error = kForeignBlock;
    return false;
  }
  void* block = map_block(fd);
  if (block == nullptr || static_cast<SharedCounters*>(block)->layout != layout_fingerprint()) {
    if (block != nullptr) munmap(block, sizeof(SharedCounters));
    *error = kForeignBlock;
    return false;
  }
  counters_ = static_cast<SharedCounters*>(block);
  shared_ = true;
  fd_ = fd;
  return true;
}

namespace {

// Waits (bounded) until a claimed slot holds its name; false when it never does.
bool wait_until_ready(std::atomic_ref<std::uint32_t> state) {
  for (int i = 0; i < kClaimedSlotPatience; ++i) {
    if (state.load(std::memory_order_acquire) == kReady) return true;
    sched_yield();
  }
  return false;
}

bool holds_name(const FormName& slot, std::string_view name) {
  return slot.length == name.size() && std::memcmp(slot.bytes, name.data(), name.size()) == 0;
}

}  // namespace

// Slots are taken in order, so the first empty one ends the search. Two
// processes registering one name meet at the same slot: the second waits for
// the first's name and finds it.
FormSlot MetricsStore::form_slot(std::string_view name) {
  if (name.empty() || name.size() > kMaxFormNameBytes) return kOtherProfileSlot;
  for (FormSlot index = 2; index < kFormSlotCount; ++index) {
    FormName& slot = counters_->forms[index];
    std::atomic_ref<std::uint32_t> state(slot.state);
    std::uint32_t seen = state.load(std::memory_order_acquire);
    if (seen == kEmpty &&
        state.compare_exchange_strong(seen, kClaimed, std::memory_order_acquire)) {
      std::memcpy(slot.bytes, name.data(), name.size());
      slot.length = static_cast<std::uint32_t>(name.size());
      state.store(kReady, std::memory_order_release);
      return index;
    }
    if (seen == kClaimed && !wait_until_ready(state)) continue;
    if (holds_name(slot, name)) return index;
  }
  return kOtherProfileSlot;
}

void MetricsStore::count_submission(FormSlot form, Outcome outcome) {
  if (form >= kFormSlotCount) form = kOtherProfileSlot;
  add(counters_->submissions[form][static_cast<std::size_t>(outcome)], 1);
}

void MetricsStore::observe_duration(Route route, std::chrono::nanoseconds duration) {
  std::uint64_t ns = duration.count() > 0 ? static_cast<std::uint64_t>(duration.count()) : 0;
  std::size_t bucket = 0;
  while (bucket < kBucketBoundsNs.size() && ns > kBucketBoundsNs[bucket]) ++bucket;
  std::size_t r = static_cast<std::size_t>(route);
  add(counters_->durations[r][bucket], 1);
  add(counters_->duration_ns[r], ns);
}

void MetricsStore::count_delivery(DeliveryKind kind, DeliveryResult result) {
  add(counters_->deliveries[static_cast<std::size_t>(kind)][static_cast<std::size_t>(result)], 1);
}

void MetricsStore::count_worker_restart() { add(counters_->worker_restarts, 1); }

std::size_t MetricsStore::form_slot_count() const {
  std::size_t count = 2;
  while (count < kFormSlotCount && std::atomic_ref<std::uint32_t>(counters_->forms[count].state)
                                           .load(std::memory_order_acquire) != kEmpty) {
    ++count;
  }
  return count;
}

std::string_view MetricsStore::form_name(FormSlot form) const {
  if (form == kNoProfileSlot) return "none";
  if (form == kOtherProfileSlot || form >= kFormSlotCount) return "other";
  FormName& slot = counters_->forms[form];
  if (std::atomic_ref<std::uint32_t>(slot.state).load(std::memory_order_acquire) != kReady)
    return {};
  return std::string_view(slot.bytes, slot.length);
}

std::uint64_t MetricsStore::submissions(FormSlot form, Outcome outcome) const {
  if (form >= kFormSlotCount) return 0;
  return load(counters_->submissions[form][static_cast<std::size_t>(outcome)]);
}

DurationHistogram MetricsStore::durations(Route route) const {
  std::size_t r = static_cast<std::size_t>(route);
  DurationHistogram histogram;
  for (std::size_t i = 0; i < kDurationBucketCount; ++i)
    histogram.buckets[i] = load(counters_->durations[r][i]);
  histogram.sum_nanoseconds = load(counters_->duration_ns[r]);
  return histogram;
}

std::uint64_t MetricsStore::deliveries(DeliveryKind kind, DeliveryResult result) const {
  return load(
      counters_->deliveries[static_cast<std::size_t>(kind)][static_cast<std::size_t>(result)]);
}

std::uint64_t MetricsStore::worker_restarts() const { return load(counters_->worker_restarts); }
