#include "velloc/webhook/retry_schedule.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

constexpr std::int64_t kFirst = 1'700'000'000;
constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 3600;

TEST(RetrySchedule, GrowingIntervalsThenHourlyUntilTheLimit) {
  struct Case {
    int attempts_made;
    int retry_hours;
    std::optional<std::int64_t> expected;  // after the first attempt
  };
  const Case cases[] = {
      {0, 72, std::nullopt},
      {-1, 72, std::nullopt},
      {1, 72, 1 * kMinute},
      {2, 72, 6 * kMinute},
      {3, 72, 21 * kMinute},
      {4, 72, 51 * kMinute},
      {5, 72, 51 * kMinute + kHour},
      {6, 72, 51 * kMinute + 2 * kHour},
      {75, 72, 51 * kMinute + 71 * kHour},  // the last one within 72 hours
      {76, 72, std::nullopt},
      {1000000, 72, std::nullopt},
      {2147483647, 72, std::nullopt},
      {1, 0, std::nullopt},  // no retries at all
      {1, -5, std::nullopt},
      {4, 1, 51 * kMinute},
      {5, 1, std::nullopt},
      {5, 2, 111 * kMinute},
      {8787, 8784, 51 * kMinute + 8783 * kHour},  // a limit beyond a year counts as one
      {8789, 2147483647, std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<std::int64_t> next = next_attempt_time(c.attempts_made, kFirst, c.retry_hours);
    std::optional<std::int64_t> expected;
    if (c.expected) expected = kFirst + *c.expected;
    EXPECT_EQ(expected, next) << c.attempts_made << " attempts, " << c.retry_hours << " hours";
  }
  EXPECT_EQ(kFirst + kMinute, next_attempt_time(1, kFirst));
  EXPECT_EQ(std::nullopt, next_attempt_time(76, kFirst));
}

TEST(RetrySchedule, RetryHoursSetting) {
  const std::pair<const char*, int> cases[] = {
      {"", 72}, {"x", 72}, {"-3", 72}, {"24", 24}, {" 48h", 48}, {"0", 0}, {"99999999999", 8784},
  };
  for (const auto& [text, hours] : cases) EXPECT_EQ(hours, parse_retry_hours(text)) << text;
}

}  // namespace
