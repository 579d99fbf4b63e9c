#include "velloc/guard/referer_check.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "velloc/process_facts.h"
#include "velloc/run.h"

namespace {

TEST(Referer, HostIsTheAuthorityOfAWebAddressAndMustBeListed) {
  // clang-format off
  std::pair<std::string, std::string> hosts[] = {
      {"http://www.example.com/forms/a.htm", "www.example.com"},
      {"HTTPS://Host:8080", "Host:8080"}, {"https://u@h:1?q=/x", "u@h:1"}, {"http://h#/x", "h"},
      {"https:///Host:8080", ""}, {"http:///host/", ""}, {" http://host/", ""},
      {"javascript://host/%0Aalert(1)", ""}, {"data://host/x", ""}, {"ftp://host/", ""},
      {"http:host/x", ""}, {"http:\\\\host/", ""},
      {"www.example.com/forms/a.htm", ""}, {"//ftp:/user@h", ""}, {"http:", ""},
      {std::string(1999, 'a') + "/host", ""},
      {"http://" + std::string(1991, 'a') + "/x", std::string(1991, 'a')},
      {"http://" + std::string(1993, 'a'), ""}};
  struct {
    const char* referers;
    const char* referer;  // empty: no HTTP_REFERER
    bool accepted;
    const char* origin = "";  // empty: no HTTP_ORIGIN
  } checks[] = {
      {"", "", true}, {"", "http://any/", true}, {" , ,", "", false},
      {" , ,", "http://any.host/x", true}, {"www.example.com", "", false},
      {"a.com, WWW.Example.com", "https://www.example.COM/form.htm", true},
      {"a.com,,www.example.com", "http://www.example.com", true},
      {"a.com,,www.example.com", "ftp://www.example.com/", false},
      {"www.example.com", " http://www.example.com/", false},
      {"www.example.com", "javascript://www.example.com/", false},
      {"www.example.com", "http:///www.example.com/", false},
      {"www.example.com", "http://www.example.com:8080/form.htm", false},
      {"www.example.com", "www.example.com/form.htm", false},
      {"www.example.com", "http://evil.com/www.example.com", false},
      // Without a Referer, the Origin stands for the page; "null" names none.
      {"www.example.com", "", true, "https://WWW.example.com"},
      {"www.example.com", "", false, "https://evil.example"},
      {"www.example.com", "http://evil.example/", false, "https://www.example.com"},
      {" , ,", "", false, "null"}, {"www.example.com", "", false, "null"}};
  // clang-format on
  for (const auto& [referer, host] : hosts) EXPECT_EQ(host, referer_host(referer)) << referer;
  Site site(read_process_facts());
  for (const auto& c : checks) {
    std::ostringstream out;
    ::Run run(site);
    run.settings.referers = c.referers;
    if (*c.referer) run.request.environment.set("HTTP_REFERER", c.referer);
    if (*c.origin) run.request.environment.set("HTTP_ORIGIN", c.origin);
    EXPECT_EQ(c.accepted, check_referer(run)) << '"' << c.referers << "\" " << c.referer;
  }
}

}  // namespace
