// The webhook targets whose last call timed out: for a while no call is made to
// them, so that a target that hangs holds a worker once, not once per submission.
// The Site keeps them, so a persistent worker's later requests learn from the first;
// a call not made fails as timed out (a delivery left pending with the archive).
#pragma once

#include <cstdint>
#include <map>
#include <string>

class HangingTargets {
 public:
  static constexpr std::int64_t kPauseSeconds = 60;

  // True while a call to `url` timed out less than kPauseSeconds before `now`
  // (seconds since the epoch).
  bool paused(const std::string& url, std::int64_t now) const;
  // The call to `url` at `now` timed out, or it answered (the pause ends).
  void timed_out(const std::string& url, std::int64_t now);
  void answered(const std::string& url) { timed_out_at_.erase(url); }

 private:
  // One entry per address of the settings that timed out: as many as they name.
  std::map<std::string, std::int64_t> timed_out_at_;
};
