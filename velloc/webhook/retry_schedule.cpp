#include "velloc/webhook/retry_schedule.h"

#include <algorithm>
#include <array>
#include <string>

namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::array<std::int64_t, 4> kFirstIntervals = {1 * kMinute, 5 * kMinute, 15 * kMinute,
                                                         30 * kMinute};
constexpr int kMaxRetryHours = 366 * 24;

// The time from the first attempt to the one after `attempts_made`.
std::int64_t offset_after(std::int64_t attempts_made) {
  std::int64_t offset = 0;
  std::int64_t early = std::min<std::int64_t>(attempts_made, kFirstIntervals.size());
  for (std::int64_t i = 0; i < early; ++i) offset += kFirstIntervals[i];
  return offset + (attempts_made - early) * kHour;
}

}  // namespace

std::optional<std::int64_t> next_attempt_time(int attempts_made, std::int64_t first_attempt,
                                              int retry_hours) {
  if (attempts_made < 1) return std::nullopt;
  std::int64_t limit = std::clamp(retry_hours, 0, kMaxRetryHours) * kHour;
  // Past the limit in any case; keeps the sum below from growing without bound.
  if (attempts_made > kMaxRetryHours + 4) return std::nullopt;
  std::int64_t offset = offset_after(attempts_made);
  if (offset > limit) return std::nullopt;
  return first_attempt + offset;
}

int parse_retry_hours(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos || text[start] < '0' || text[start] > '9')
    return kDefaultDeliveryRetryHours;
  int hours = 0;
  for (std::size_t i = start; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    hours = std::min(hours * 10 + (text[i] - '0'), kMaxRetryHours);
  return hours;
}
