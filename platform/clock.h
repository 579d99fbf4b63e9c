// The time of day as the process reads it. The Site holds one and hands it to every
// unit that stamps or compares times; it is abstract so that a test can fix the time.
// A Clock is immutable and must outlive every record that points to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() const = 0;

  // The same moment counted from the Unix epoch.
  std::int64_t unix_milliseconds() const;
  std::int64_t unix_seconds() const;
  std::time_t time() const { return static_cast<std::time_t>(unix_seconds()); }
};

// The system's real-time clock, shared by the whole process.
const Clock& system_clock();

// A clock that always reads the moment it was given.
class FixedClock : public Clock {
 public:
  explicit FixedClock(std::chrono::system_clock::time_point at) : at_(at) {}
  std::chrono::system_clock::time_point now() const override { return at_; }

 private:
  std::chrono::system_clock::time_point at_;
};

}  // namespace platform
