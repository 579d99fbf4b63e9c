// Once among processes: a small table in memory that a process maps before it forks
// its workers, so that of all the workers only the first to meet a thing (a version of
// a settings file, by a hash of its name and text) acts on it. A table that could not
// be mapped lets everyone act (each process then acts once, as it would alone). Not
// copyable; a forked child uses the copy it inherits, which maps the same memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

class SharedOnce {
 public:
  SharedOnce();
  ~SharedOnce();
  SharedOnce(const SharedOnce&) = delete;
  SharedOnce& operator=(const SharedOnce&) = delete;

  // True for the first call with `key` among all the processes that share the table;
  // false for every later one while the key keeps its slot (a slot holds the latest of
  // the keys that fall on it, so a key pushed out is met anew: said twice, never lost).
  bool first(std::uint64_t key);

 private:
  static constexpr std::size_t kSlots = 512;
  std::atomic<std::uint64_t>* slots_ = nullptr;
};

}  // namespace platform
