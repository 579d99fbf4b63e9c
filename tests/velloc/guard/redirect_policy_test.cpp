#include "velloc/guard/redirect_policy.h"

#include <gtest/gtest.h>

namespace {

constexpr auto kFollow = RedirectDecision::kFollow;
constexpr auto kRefuse = RedirectDecision::kRefuse;

TEST(RedirectPolicy, AttackAddressesAndTheSitesOwnHosts) {
  const RedirectHosts hosts{"site.example:8080", "site.example", "forms.example, partner.example",
                            "pay.example:8443"};
  struct Case {
    std::string address;
    RedirectDecision redirect;
    bool link;
  };
  // clang-format off
  const Case cases[] = {
      // Relative addresses stay on the site, whatever they carry after the path.
      {"/thanks.html", kFollow, true}, {"thanks.html?next=http://evil.example", kFollow, true},
      {"sub\\page.htm", kFollow, true}, {"?x=1#top", kFollow, true}, {"1abc:x", kFollow, true},
      // The request's own host (with its port), its server name, Referers and RedirectHosts.
      {"http://site.example/done", kFollow, true}, {"https://SITE.example:8080/", kFollow, true},
      {"HTTPS://site.example", kFollow, true}, {"//partner.example/x", kFollow, true},
      {"http://forms.example?a", kFollow, true}, {"https://pay.example:8443/ok", kFollow, true},
      {"https://evil@site.example/", kFollow, true}, {"http:/site.example/x", kFollow, true},
      // Another host, or the right host on another port.
      {"https://evil.example/login", kRefuse, true}, {"//evil.example", kRefuse, true},
      {"///evil.example", kRefuse, true}, {"http:///evil.example", kRefuse, true},
      {"https:evil.example", kRefuse, true}, {"https://site.example@evil.example", kRefuse, true},
      {"https://site.example:9999/", kRefuse, true}, {"https://pay.example/", kRefuse, true},
      {"http://site.example.evil.example/", kRefuse, true}, {"http://", kRefuse, true},
      // Backslashes that a browser reads as slashes.
      {"/\\evil.example", kRefuse, true}, {"\\\\evil.example", kRefuse, true},
      {"http:\\\\evil.example", kRefuse, true}, {"https://site.example\\@evil.example", kRefuse, true},
      // Leading blanks and control characters that a browser drops.
      {" //evil.example", kRefuse, true}, {"\t/\t/evil.example", kRefuse, true},
      {std::string("/\0/evil.example", 15), kRefuse, true}, {"\x01 https://evil.example", kRefuse, true},
      // Schemes other than http(s).
      {"javascript:alert(1)", kRefuse, false}, {"JavaScript:alert(1)", kRefuse, false},
      {" java\tscript:alert(1)", kRefuse, false}, {"data:text/html,x", kRefuse, false},
      {"mailto:owner@site.example", kRefuse, false}, {"ftp://site.example/", kRefuse, false},
      // Nothing left to go to.
      {"", kRefuse, true}, {" \r\n", kRefuse, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(c.redirect, decide_redirect(c.address, hosts)) << c.address;
    EXPECT_EQ(c.link, is_safe_link(c.address)) << c.address;
  }
  EXPECT_EQ(kFollow, decide_redirect("https://evil.example/", {"", "", "", "x.example, *"}));
  EXPECT_EQ(kRefuse, decide_redirect("https://evil.example/", {"", "", "*", ""}));
  EXPECT_EQ(kRefuse, decide_redirect("javascript:x", {"", "", "", "*"}));
  EXPECT_EQ(kRefuse, decide_redirect("http:///x", {"", "", "", ""}));
  EXPECT_EQ("a b", without_control_characters(std::string("a\0\x1f \x7f\vb", 7)));
}

}  // namespace
