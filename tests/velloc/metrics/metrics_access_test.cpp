#include "velloc/metrics/metrics_access.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MetricsAccessTest, AllowListsParseAndMatch) {
  struct Case {
    const char* allow;  // nullptr: MetricsAllow absent
    const char* remote;
    bool matches;
  };
  const Case cases[] = {
      {nullptr, "127.0.0.1", true},
      {nullptr, "127.200.3.4", true},
      {nullptr, "::1", true},
      {nullptr, "::ffff:127.0.0.1", true},
      {nullptr, "10.0.0.1", false},
      {nullptr, "::2", false},
      {nullptr, "", false},
      {nullptr, "localhost", false},
      {"10.1.0.0/16", "10.1.255.9", true},
      {"10.1.0.0/16", "10.2.0.1", false},
      {"10.1.0.0/16", "127.0.0.1", false},  // the list replaces the loopback default
      {" 192.0.2.7 ,\t2001:db8::/32 ", "192.0.2.7", true},
      {" 192.0.2.7 ,\t2001:db8::/32 ", "192.0.2.8", false},
      {" 192.0.2.7 ,\t2001:db8::/32 ", "2001:db8:ffff::1", true},
      {" 192.0.2.7 ,\t2001:db8::/32 ", "2001:db9::1", false},
      {"192.0.2.0/25", "192.0.2.127", true},
      {"192.0.2.0/25", "192.0.2.128", false},
      {"10.9.9.9/8", "10.0.0.1", true},  // bits past the prefix play no part
      {"0.0.0.0/0", "203.0.113.5", true},
      {"0.0.0.0/0", "::ffff:203.0.113.5", true},
      {"0.0.0.0/0", "2001:db8::1", false},
      {"fe80::/10", "fe80::1%eth0", true},
      {"::ffff:10.0.0.0/104", "10.3.2.1", true},
      {"10.0.0.1", "10.0.0.1/8", false},
      {"", "127.0.0.1", false},
      {",,", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    MetricsAllowList list = default_metrics_allow();
    std::string error;
    if (c.allow != nullptr) {
      EXPECT_TRUE(parse_metrics_allow(c.allow, &list, &error)) << c.allow;
    }
    EXPECT_EQ(c.matches, allow_list_matches(list, c.remote))
        << (c.allow ? c.allow : "(default)") << " / " << c.remote;
  }
}

TEST(MetricsAccessTest, BadAllowEntriesAreReportedAndTheRestKept) {
  MetricsAllowList list;
  std::string error;
  EXPECT_FALSE(parse_metrics_allow(
      "10.0.0.0/33, 10.1.0.0/16, ::1/129, host.example, 10.0.0.1/, 10.0.0.1/x, 1.2.3", &list,
      &error));
  EXPECT_EQ(
      "MetricsAllow: not an address or network: \"10.0.0.0/33\", \"::1/129\", \"host.example\", "
      "\"10.0.0.1/\", \"10.0.0.1/x\", \"1.2.3\"",
      error);
  ASSERT_EQ(1u, list.size());
  EXPECT_TRUE(allow_list_matches(list, "10.1.2.3"));
}

TEST(MetricsAccessTest, AddressOrBearerTokenLetsIn) {
  struct Case {
    const char* remote;
    const char* authorization;
    const char* token;
    MetricsAccess expected;
    bool enabled = true;
  };
  const Case cases[] = {
      {"127.0.0.1", "", "", MetricsAccess::kAllowedByAddress},
      {"127.0.0.1", "Bearer wrong", "s3cret", MetricsAccess::kAllowedByAddress},
      {"203.0.113.5", "", "s3cret", MetricsAccess::kDenied},
      {"203.0.113.5", "Bearer s3cret", "s3cret", MetricsAccess::kAllowedByToken},
      {"203.0.113.5", "bearer  s3cret ", "s3cret", MetricsAccess::kAllowedByToken},
      {"203.0.113.5", "BEARER\ts3cret", "s3cret", MetricsAccess::kAllowedByToken},
      {"203.0.113.5", "Bearer s3cre", "s3cret", MetricsAccess::kDenied},
      {"203.0.113.5", "Bearer s3cretx", "s3cret", MetricsAccess::kDenied},
      {"203.0.113.5", "Bearers3cret", "s3cret", MetricsAccess::kDenied},
      {"203.0.113.5", "Basic s3cret", "s3cret", MetricsAccess::kDenied},
      {"203.0.113.5", "s3cret", "s3cret", MetricsAccess::kDenied},
      {"203.0.113.5", "Bearer ", "", MetricsAccess::kDenied},
      {"203.0.113.5", "Bearer", "", MetricsAccess::kDenied},
      {"127.0.0.1", "", "", MetricsAccess::kDenied, false},
      {"203.0.113.5", "Bearer s3cret", "s3cret", MetricsAccess::kDenied, false},
  };
  for (const Case& c : cases) {
    MetricsOptions options;  // MetricsAllow absent
    options.enabled = c.enabled;
    options.token = c.token;
    EXPECT_EQ(c.expected, decide_metrics_access(c.remote, c.authorization, options))
        << c.remote << " / " << c.authorization << " / " << c.enabled;
  }
}

}  // namespace
