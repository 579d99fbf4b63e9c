#include "velloc/guard/recipient_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(RecipientPolicy, RelayAttemptsAreRefused) {
  const std::optional<std::string> kAbsent;
  struct Case {
    std::vector<std::string> addresses;
    std::optional<std::string> allowed;  // AllowedRecipients
    std::string refused;                 // empty: allowed
  };
  // DefaultRecipient "owner@shop.test, Sales@Shop.test"; SERVER_NAME "www.example.test".
  const Case cases[] = {
      {{"webmaster", "WebMaster"}, kAbsent, ""},
      {{"OWNER@shop.test", "sales@shop.test"}, "", ""},
      {{"ann@EXAMPLE.test", "bob@example.test"}, kAbsent, ""},
      {{"ann@example.test", "spam@evil.test", "x@evil.test"}, kAbsent, "spam@evil.test"},
      {{"ann@www.example.test"}, kAbsent, "ann@www.example.test"},
      {{"ann@sub.example.test"}, kAbsent, "ann@sub.example.test"},
      {{"postmaster"}, kAbsent, "postmaster"},
      {{"other@shop.test"}, kAbsent, "other@shop.test"},
      // Present, even empty, the list replaces the server's domain.
      {{"ann@example.test"}, "", "ann@example.test"},
      {{"ann@example.test"}, "@other.test", "ann@example.test"},
      {{"a@other.test", "B@Other.Test", "c@list.test"}, "@other.test, c@list.test", ""},
      {{"d@list.test"}, "@other.test;c@list.test", "d@list.test"},
      {{"anyone@evil.test", "postmaster"}, "*", ""},
      {{"x@evil.test"}, "@", "x@evil.test"},
      // Routes through an allowed domain.
      {{"spam%evil.test@example.test"}, kAbsent, "spam%evil.test@example.test"},
      {{"@example.test:spam@evil.test"}, kAbsent, "@example.test:spam@evil.test"},
      {{"evil.test!spam@example.test"}, "@example.test", "evil.test!spam@example.test"},
      {{"spam@evil.test@example.test"}, kAbsent, "spam@evil.test@example.test"},
      {{"\"a@b\"@example.test"}, kAbsent, "\"a@b\"@example.test"},
      {{"@example.test"}, kAbsent, "@example.test"},
      {{}, "", ""},
  };
  for (const Case& c : cases) {
    RecipientRules rules{"owner@shop.test, Sales@Shop.test", c.allowed, "www.example.test"};
    std::string list;
    for (const std::string& address : c.addresses) list += address + ", ";
    RecipientDecision decision = decide_recipients(list, rules);
    std::string label = c.addresses.empty() ? "(none)" : c.addresses.front();
    EXPECT_EQ(c.refused.empty(), decision.allowed) << label;
    EXPECT_EQ(c.refused, decision.refused_address) << label;
  }
  RecipientRules no_server{"", std::nullopt, ""};
  EXPECT_FALSE(decide_recipients("a@b", no_server).allowed);
  EXPECT_TRUE(decide_recipients("\ta@shop.test>", {"", std::nullopt, "shop.test"}).allowed);
}

}  // namespace
