#include "velloc/fastcgi/busy_board.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <new>

namespace {

using Since = std::atomic<std::int64_t>;
// Shared between processes, a slot must work without a lock of the process's own.
static_assert(Since::is_always_lock_free);

constexpr std::int64_t kIdle = 0;

std::int64_t ticks(BusySlot::Clock::time_point when) {
  // Never kIdle: the steady clock counts from the boot, long past its zero.
  return std::max<std::int64_t>(when.time_since_epoch().count(), 1);
}

}  // namespace

void BusySlot::begin(Clock::time_point now) {
  if (since_) since_->store(ticks(now), std::memory_order_relaxed);
}

void BusySlot::end() {
  if (since_) since_->store(kIdle, std::memory_order_relaxed);
}

BusyBoard::BusyBoard(int slots) {
  if (slots <= 0) return;
  std::size_t size = sizeof(Since) * static_cast<std::size_t>(slots);
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  since_ = static_cast<Since*>(memory);
  for (int i = 0; i < slots; ++i) new (since_ + i) Since(kIdle);
  slots_ = slots;
}

BusyBoard::~BusyBoard() {
  if (since_) munmap(since_, sizeof(Since) * static_cast<std::size_t>(slots_));
}

BusySlot BusyBoard::fresh_slot(int index) {
  if (index < 0 || index >= slots_) return BusySlot();
  since_[index].store(kIdle, std::memory_order_relaxed);
  return BusySlot(since_ + index);
}

int BusyBoard::busy() const {
  int count = 0;
  for (int i = 0; i < slots_; ++i)
    if (since_[i].load(std::memory_order_relaxed) != kIdle) ++count;
  return count;
}

int BusyBoard::stuck(Clock::time_point now, Clock::duration limit) const {
  int count = 0;
  for (int i = 0; i < slots_; ++i) {
    std::int64_t since = since_[i].load(std::memory_order_relaxed);
    if (since != kIdle && now - Clock::time_point(Clock::duration(since)) > limit) ++count;
  }
  return count;
}
