#include "velloc/guard/content_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velloc/guard/spam_check.h"

namespace {

TEST(ContentRules, LinksOverAllValuesAndBlockedWords) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;
    std::optional<std::size_t> max_links;
    std::string blocked;
    std::string broken;
  };
  const std::string two = "http://a.example www.b.example";
  // clang-format off
  const std::vector<Case> cases = {
      {{{"MESSAGE", two}}, 2, "", ""},
      {{{"MESSAGE", two}, {"NAME", "see https://c.example"}}, 2, "", "3 links, at most 2 allowed"},
      {{{"MESSAGE", "no links"}}, 0, "", ""},
      // The form's own addresses are no visitor's links; the subject is typed.
      {{{"REDIRECT", "https://site.example/thanks"}, {"LINKBACK", "http://site.example/"}}, 0, "", ""},
      {{{"SUBJECT", "www.spam.example"}}, 0, "", "1 links, at most 0 allowed"},
      {{{"MESSAGE", "[url=x]y[/url]"}}, 0, "", "1 links, at most 0 allowed"},
      {{{"MESSAGE", two + two}}, std::nullopt, "", ""},
      {{{"MESSAGE", "Cheap CASINO chips"}}, std::nullopt, "casino\n", "blocked word \"casino\" in MESSAGE"},
      {{{"MESSAGE", "casinos"}}, 1, "casino\n", ""},
      // A blocked word is named before the links.
      {{{"MESSAGE", two + " casino"}}, 1, "casino\n", "blocked word \"casino\" in MESSAGE"},
  };
  // clang-format on
  for (const Case& c : cases) {
    FieldMap fields;
    for (const auto& [name, value] : c.fields) fields.set(name, value);
    ContentRules rules{c.max_links, BlockedWords::parse(c.blocked)};
    EXPECT_EQ(c.broken, content_rule_broken(fields, rules)) << c.fields.front().second;
  }
}

TEST(ContentRules, SettingValues) {
  EXPECT_EQ(std::nullopt, parse_max_links(""));
  EXPECT_EQ(std::nullopt, parse_max_links("none"));
  EXPECT_EQ(0u, parse_max_links(" 0 "));
  EXPECT_EQ(3u, parse_max_links("3 links"));
  EXPECT_TRUE(parse_max_links("99999999999999999999999999"));
  EXPECT_EQ(5.0, parse_spam_threshold(""));
  EXPECT_EQ(5.0, parse_spam_threshold("high"));
  EXPECT_EQ(3.5, parse_spam_threshold(" 3.5 "));
  EXPECT_EQ(-1.0, parse_spam_threshold("-1"));
}

}  // namespace
