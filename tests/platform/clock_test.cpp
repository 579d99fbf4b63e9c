#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

TEST(Clock, ReadsAsUnixTimes) {
  using std::chrono::milliseconds;
  const struct {
    std::int64_t since_epoch_ms;
    std::int64_t seconds;
  } cases[] = {{0, 0}, {999, 0}, {1112173503250, 1112173503}, {4102444800000, 4102444800}};
  for (const auto& c : cases) {
    platform::FixedClock clock(
        std::chrono::system_clock::time_point(milliseconds(c.since_epoch_ms)));
    EXPECT_EQ(c.since_epoch_ms, clock.unix_milliseconds());
    EXPECT_EQ(c.seconds, clock.unix_seconds());
    EXPECT_EQ(static_cast<std::time_t>(c.seconds), clock.time());
  }
}

TEST(Clock, TheSystemClockIsNow) {
  std::int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  std::int64_t read = platform::system_clock().unix_milliseconds();
  EXPECT_LE(before, read);
  EXPECT_LT(read - before, 60000);
}

}  // namespace
