#include "velloc/request/request_id.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>

namespace {

constexpr int kDigits = 16;

// The random source, or when it cannot be read the clock's nanoseconds mixed with
// the process id and a stack address (placed at random per process): less random,
// still unlike another process's.
std::uint64_t random_start() {
  std::uint64_t start = 0;
  if (getrandom(&start, sizeof start, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof start))
    return start;
  auto now = std::chrono::system_clock::now().time_since_epoch().count();
  return static_cast<std::uint64_t>(now) ^ (static_cast<std::uint64_t>(getpid()) << 40) ^
         reinterpret_cast<std::uintptr_t>(&start);
}

}  // namespace

RequestIds::RequestIds() : next_(random_start()) {}

std::string RequestIds::next() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint64_t value = next_++;
  std::string id(kDigits, '0');
  for (int i = kDigits - 1; i >= 0; --i, value >>= 4) id[i] = kHex[value & 0xF];
  return id;
}
