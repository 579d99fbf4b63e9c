#include "velloc/doctor/spf_evaluation.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

namespace {

// Answers from a table; a name it does not hold has no records, "down.test" fails.
class TableLookup : public DnsLookup {
 public:
  explicit TableLookup(std::map<std::pair<std::string, DnsType>, std::vector<std::string>> records)
      : records_(std::move(records)) {}
  DnsAnswer ask(const std::string& name, DnsType type) override {
    ++questions;
    if (name == "down.test") return {DnsAnswer::Status::kFailed, {}, "timed out"};
    auto found = records_.find({name, type});
    if (found == records_.end()) return {};
    return {DnsAnswer::Status::kFound, found->second, ""};
  }
  int questions = 0;

 private:
  std::map<std::pair<std::string, DnsType>, std::vector<std::string>> records_;
};

std::string outcome(DnsLookup& dns, const std::string& domain, const std::string& address) {
  SpfResult result = evaluate_spf(dns, domain, address);
  return std::string(spf_outcome_name(result.outcome)) + " " + result.mechanism;
}

TEST(SpfEvaluation, DecidesAsAReceiverDoes) {
  using T = DnsType;
  std::map<std::pair<std::string, DnsType>, std::vector<std::string>> records = {
      {{"cidr.test", T::kTxt}, {"v=spf1 ip4:192.0.2.0/24 ip6:2001:db8::/32 ~all"}},
      {{"inc.test", T::kTxt}, {"other text", "v=spf1 include:cidr.test -all"}},
      {{"redir.test", T::kTxt}, {"v=spf1 redirect=inc.test"}},
      {{"mx.test", T::kTxt}, {"V=SPF1 mx/24 -all"}},
      {{"mx.test", T::kMx}, {"mail.mx.test"}},
      {{"mail.mx.test", T::kA}, {"198.51.100.9"}},
      {{"two.test", T::kTxt}, {"v=spf1 -all", "v=spf1 +all"}},
      {{"noinc.test", T::kTxt}, {"v=spf1 include:none.test -all"}},
      {{"temp.test", T::kTxt}, {"v=spf1 a:down.test -all"}},
      {{"loop.test", T::kTxt}, {"v=spf1 include:loop.test -all"}},
  };
  const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
      {{"cidr.test", "192.0.2.77"}, "pass ip4:192.0.2.0/24"},
      {{"cidr.test", "192.0.3.1"}, "softfail ~all"},
      {{"cidr.test", "2001:db8::5"}, "pass ip6:2001:db8::/32"},
      {{"inc.test", "192.0.2.1"}, "pass include:cidr.test"},
      {{"inc.test", "203.0.113.1"}, "fail -all"},
      {{"redir.test", "192.0.2.1"}, "pass include:cidr.test"},
      {{"mx.test", "198.51.100.200"}, "pass mx/24"},
      {{"mx.test", "198.51.101.1"}, "fail -all"},
      {{"none.test", "192.0.2.1"}, "none "},
      {{"two.test", "192.0.2.1"}, "permerror "},
      {{"noinc.test", "192.0.2.1"}, "permerror include:none.test"},
      {{"temp.test", "192.0.2.1"}, "temperror a:down.test"},
      {{"loop.test", "192.0.2.1"}, "permerror include:loop.test"},
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(input.first);
    TableLookup dns(records);
    EXPECT_EQ(expected, outcome(dns, input.first, input.second));
    EXPECT_LE(dns.questions, 12);  // the limit of 10 terms bounds a loop
  }
}

}  // namespace
