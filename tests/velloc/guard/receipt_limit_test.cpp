#include "velloc/guard/receipt_limit.h"

#include <gtest/gtest.h>

namespace {

TEST(ReceiptLimit, AllowsUpToTheLimitAndZeroIsNone) {
  struct Case {
    std::size_t sent;
    int per_address;
    bool allowed;
  };
  const Case cases[] = {{0, 5, true}, {4, 5, true},  {5, 5, false},  {9, 5, false},
                        {0, 1, true}, {1, 1, false}, {1000, 0, true}};
  for (const Case& c : cases)
    EXPECT_EQ(c.allowed, receipt_allowed(c.sent, c.per_address)) << c.sent << "/" << c.per_address;
}

TEST(ReceiptLimit, UnsubscribeLinesCarryTheEncodedAddress) {
  struct Case {
    std::string url;
    std::string address;
    std::string expected;
  };
  const std::string post = "List-Unsubscribe-Post: List-Unsubscribe=One-Click\n";
  const Case cases[] = {
      {"", "jo@x.test", ""},
      {"https://x.test/u?e=%EMAIL%", "Jo+tag@x.test",
       "List-Unsubscribe: <https://x.test/u?e=Jo%2Btag%40x.test>\n" + post},
      {"https://x.test/u/%EMAIL%/%EMAIL%", "a b&c>@x.test",
       "List-Unsubscribe: <https://x.test/u/a%20b%26c%3E%40x.test/a%20b%26c%3E%40x.test>\n" + post},
      {"https://x.test/all", "jo@x.test", "List-Unsubscribe: <https://x.test/all>\n" + post},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, list_unsubscribe_lines(c.url, c.address)) << c.url;
}

}  // namespace
