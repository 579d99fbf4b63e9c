#include "velloc/guard/rate_limit.h"

#include <gtest/gtest.h>

namespace {

// Submissions at the given seconds of a fake clock against 3/10: the accepted
// ones are kept as the store would keep them.
TEST(RateLimit, SlidingWindowAdmitsUntilFullAndTellsWhenToRetry) {
  const RateLimit limit{3, 10};
  struct Attempt {
    double at_seconds;
    std::int64_t expected_retry;  // 0: admitted
  } attempts[] = {{0, 0},  {1, 0},  {1, 0},  {1.5, 9},  {9.999, 1}, {10, 0}, {10, 1},
                  {11, 0}, {11, 0}, {11, 9}, {20.5, 0}, {20.6, 1},  {21, 0}, {100, 0}};
  std::vector<std::int64_t> accepted;
  for (const Attempt& attempt : attempts) {
    auto now = static_cast<std::int64_t>(attempt.at_seconds * 1000);
    std::vector<std::int64_t> recent;
    for (std::int64_t at : accepted)
      if (at > now - limit.seconds * 1000) recent.push_back(at);
    RateDecision decision = decide_rate(limit, recent, now);
    EXPECT_EQ(attempt.expected_retry, decision.allowed ? 0 : decision.retry_after_seconds)
        << attempt.at_seconds;
    if (decision.allowed) accepted.push_back(now);
  }
  // A limit lowered since: enough events must leave to make room for one more.
  EXPECT_EQ(51, decide_rate({1, 60}, {0, 1000, 50000}, 59000).retry_after_seconds);
}

TEST(RateLimit, ParsesLimitsAndGroupsClientAddresses) {
  std::pair<const char*, const char*> limits[] = {{"100/3600", "100/3600"},
                                                  {" 5 / 60 ", "5/60"},
                                                  {"0/60", "-"},
                                                  {"5/0", "-"},
                                                  {"5", "-"},
                                                  {"5/60s", "-"},
                                                  {"-1/60", "-"},
                                                  {"", "-"},
                                                  {"99999999999/1", "-"}};
  for (const auto& [text, expected] : limits) {
    std::optional<RateLimit> limit = parse_rate_limit(text);
    EXPECT_EQ(expected,
              limit ? std::to_string(limit->count) + "/" + std::to_string(limit->seconds) : "-")
        << text;
  }
  std::pair<const char*, const char*> addresses[] = {{"192.0.2.7", "192.0.2.7"},
                                                     {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
                                                     {"2001:DB8:1:2::9", "2001:db8:1:2::/64"},
                                                     {"::ffff:192.0.2.7", "192.0.2.7"},
                                                     {"::1", "::/64"},
                                                     {" junk\n", "junk"},
                                                     {"", ""}};
  for (const auto& [remote, expected] : addresses) EXPECT_EQ(expected, client_group(remote));
}

}  // namespace
