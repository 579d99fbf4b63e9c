#include "velloc/webhook/hanging_targets.h"

bool HangingTargets::paused(const std::string& url, std::int64_t now) const {
  auto found = timed_out_at_.find(url);
  return found != timed_out_at_.end() && now >= found->second &&
         now - found->second < kPauseSeconds;
}

void HangingTargets::timed_out(const std::string& url, std::int64_t now) {
  timed_out_at_[url] = now;
}
