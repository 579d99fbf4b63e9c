#include "velloc/webhook/webhook_step.h"

#include <gtest/gtest.h>

namespace {

TEST(WebhookStep, ACallGetsItsOwnTimeOrWhatIsLeftOfTheTotal) {
  using std::chrono::milliseconds;
  struct Case {
    int per_call;
    milliseconds left;
    int seconds;
  };
  const Case cases[] = {
      {10, milliseconds(10000), 10}, {10, milliseconds(60000), 10}, {10, milliseconds(4499), 4},
      {1, milliseconds(1000), 1},    {10, milliseconds(999), 1},    {10, milliseconds(499), 0},
      {10, milliseconds(-5), 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.seconds, webhook_call_timeout(c.per_call, c.left)) << c.left.count();
}

}  // namespace
