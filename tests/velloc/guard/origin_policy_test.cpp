#include "velloc/guard/origin_policy.h"

#include <gtest/gtest.h>

namespace {

constexpr auto kUnchecked = OriginDecision::kUnchecked;
constexpr auto kOwn = OriginDecision::kOwn;
constexpr auto kAllowed = OriginDecision::kAllowed;
constexpr auto kRefused = OriginDecision::kRefused;

TEST(OriginPolicy, OriginsOfTheListTheSiteAndTheRest) {
  const std::string list = "https://www.example.com, HTTP://LocalHost:1313,https://[::1]:8443";
  const std::string own = "https://forms.example.com";
  struct Case {
    const char* origin;
    const char* allowed;  // nullptr: `list`
    OriginDecision decision;
  };
  // clang-format off
  const Case cases[] = {
      // Without AllowedOrigins, or without an Origin, nothing is decided.
      {"https://evil.example", "", kUnchecked}, {"https://evil.example", " , ,", kUnchecked},
      {"", nullptr, kUnchecked}, {"null", "", kUnchecked},
      // Listed: scheme and host in any case, a default port written or not.
      {"https://www.example.com", nullptr, kAllowed}, {"HTTPS://WWW.Example.COM", nullptr, kAllowed},
      {"https://www.example.com:443", nullptr, kAllowed}, {"http://localhost:1313", nullptr, kAllowed},
      {"http://localhost:01313", nullptr, kAllowed}, {"https://[::1]:8443", nullptr, kAllowed},
      {"http://www.example.com:443", "http://www.example.com:443", kAllowed},
      // Another scheme, host or port; an entry's host as a prefix or suffix.
      {"http://www.example.com", nullptr, kRefused}, {"https://www.example.com:8443", nullptr, kRefused},
      {"http://localhost", nullptr, kRefused}, {"https://www.example.co", nullptr, kRefused},
      {"https://www.example.com.evil.example", nullptr, kRefused},
      {"https://evilwww.example.com", nullptr, kRefused}, {"https://[::1]", nullptr, kRefused},
      // Not an origin: a path, a user part, no scheme, an empty or bad port, bad hosts.
      {"https://www.example.com/", nullptr, kRefused}, {"https://www.example.com/x", nullptr, kRefused},
      {"https://u@www.example.com", nullptr, kRefused}, {"www.example.com", nullptr, kRefused},
      {"https://www.example.com:", nullptr, kRefused}, {"http://localhost:1313x", nullptr, kRefused},
      {"http://localhost:99999", nullptr, kRefused}, {"http://localhost:65536", nullptr, kRefused},
      {"https://", nullptr, kRefused}, {"https://www.example.com\r\nX: y", nullptr, kRefused},
      {"https://www.example.com?", nullptr, kRefused}, {"1https://www.example.com", nullptr, kRefused},
      {"https://[::1", nullptr, kRefused}, {"https://[evil]", nullptr, kRefused},
      // "*": any origin, "null" too; a list entry never names "null"; bad syntax stays out.
      {"https://any.example:8080", "*", kAllowed}, {"null", "https://a.example *", kAllowed},
      {"null", nullptr, kRefused}, {"null", "null", kRefused}, {"NULL", "*", kRefused},
      {"https://a.example/path", "*", kRefused}, {"https://a.example", "a.example", kRefused},
      {"https://a.example", "https://a.example/", kRefused},
      // The site's own origin needs no entry, in any form it is written.
      {"https://forms.example.com", nullptr, kOwn}, {"https://Forms.example.com:443", nullptr, kOwn},
      {"http://forms.example.com", nullptr, kRefused},
  };
  // clang-format on
  for (const Case& c : cases)
    EXPECT_EQ(c.decision, decide_origin(c.origin, c.allowed ? c.allowed : list, own))
        << c.origin << " / " << (c.allowed ? c.allowed : list);
}

TEST(OriginPolicy, TheSitesOwnOriginFromTheRequest) {
  struct Case {
    SiteAddress site;
    const char* origin;
  };
  const Case cases[] = {
      {{"", "", "Forms.Example.com", "ignored", "8080"}, "http://forms.example.com"},
      {{"on", "", "forms.example.com:443", "", ""}, "https://forms.example.com"},
      {{"ON", "http", "forms.example.com:8443", "", ""}, "https://forms.example.com:8443"},
      {{"1", "", "forms.example.com", "", ""}, "https://forms.example.com"},
      {{"off", "HTTPS", "forms.example.com", "", ""}, "https://forms.example.com"},
      {{"", "", "", "forms.example.com", "80"}, "http://forms.example.com"},
      {{"", "", "", "forms.example.com", "8080"}, "http://forms.example.com:8080"},
      {{"", "", "", "", "80"}, ""},
      {{"", "", "forms.example.com/x", "", ""}, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.origin, site_origin(c.site)) << c.site.http_host << " " << c.site.server_name;
}

TEST(OriginPolicy, HeadersAPreflightMayAllow) {
  const struct {
    const char* requested;
    const char* allowed;
  } cases[] = {
      {"", ""},
      {"content-type", "content-type"},
      {"Accept, Content-Type", "Accept, Content-Type"},
      {" content-type ,\tx-requested-with,accept", "content-type, accept"},
      {"CONTENT-TYPE,content-type", "CONTENT-TYPE"},
      {"authorization, cookie", ""},
      {"content-type-x, acceptance", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.allowed, preflight_allowed_headers(c.requested));
}

}  // namespace
