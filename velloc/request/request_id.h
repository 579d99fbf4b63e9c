// The ids that tie a request's log lines together: 16 hex digits, a number drawn
// once per process from the system's random source plus the count of the ids made
// before, so that ids differ across processes and restarts without a read of the
// random source per request. The Site owns the one of its process.
#pragma once

#include <cstdint>
#include <string>

class RequestIds {
 public:
  RequestIds();
  // A start of our own, for tests.
  explicit RequestIds(std::uint64_t start) : next_(start) {}

  // The next id, e.g. "3f9a0c1d2b4e5f60".
  std::string next();

 private:
  std::uint64_t next_;
};
