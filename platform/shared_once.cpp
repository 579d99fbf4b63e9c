#include "platform/shared_once.h"

#include <sys/mman.h>

#include <new>

namespace platform {

namespace {

constexpr std::uint64_t kEmpty = 0;

}  // namespace

SharedOnce::SharedOnce() {
  void* memory = mmap(nullptr, kSlots * sizeof(std::atomic<std::uint64_t>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  slots_ = static_cast<std::atomic<std::uint64_t>*>(memory);
  for (std::size_t i = 0; i < kSlots; ++i) new (&slots_[i]) std::atomic<std::uint64_t>(kEmpty);
}

SharedOnce::~SharedOnce() {
  if (slots_ != nullptr) munmap(slots_, kSlots * sizeof(std::atomic<std::uint64_t>));
}

bool SharedOnce::first(std::uint64_t key) {
  if (slots_ == nullptr) return true;
  if (key == kEmpty) key = 1;
  std::atomic<std::uint64_t>& slot = slots_[key % kSlots];
  std::uint64_t seen = slot.load(std::memory_order_acquire);
  while (seen != key)
    if (slot.compare_exchange_weak(seen, key, std::memory_order_acq_rel)) return true;
  return false;
}

}  // namespace platform
