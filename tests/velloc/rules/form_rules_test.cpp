#include "velloc/rules/form_rules.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

rules::FieldLookup lookup(const std::map<std::string, std::string>& fields) {
  return [fields](const std::string& name) {
    auto found = fields.find(name);
    return found == fields.end() ? std::string() : found->second;
  };
}

rules::FormRules read(const std::vector<std::pair<std::string, std::string>>& entries) {
  return rules::read_form_rules(entries, [](const std::string& key, const std::string& reason) {
    ADD_FAILURE() << key << ": " << reason;
  });
}

TEST(FormRules, Conditions) {
  struct Row {
    const char* condition;
    const char* value;
    bool holds;
  } rows[] = {
      {"dept: Sales", " sales ", true},
      {"dept: sales", "salesman", false},
      {"dept is sales", "SALES", true},
      {"dept is one of sales, support", "support", true},
      {"dept is one of sales, support", "office", false},
      {"msg contains Refund", "please REFUND me", true},
      {"msg contains refund", "", false},
      {"msg matches ^[0-9]{5}$", "12345", true},
      {"msg matches ^[0-9]{5}$", "123456", false},
      {"msg matches urgent|asap", "reply asap please", true},
      {"amount in 10..20", "10", true},
      {"amount in 10..20", "20.5", false},
      {"amount in ..0", "-3", true},
      {"amount in 10..", "ten", false},
      {"phone is empty", "  ", true},
      {"phone is empty", "0", false},
      {"phone is not empty", "0", true},
  };
  for (const Row& row : rows) {
    rules::FormRules read_rules = read({{"When", std::string(row.condition) + " -> tag t"}});
    ASSERT_EQ(1u, read_rules.rules.size()) << row.condition;
    std::string field = read_rules.rules[0].condition.field;
    EXPECT_EQ(row.holds,
              rules::condition_holds(read_rules.rules[0].condition, lookup({{field, row.value}})))
        << row.condition << " / " << row.value;
  }
}

TEST(FormRules, Checks) {
  struct Row {
    const char* check;
    const char* value;
    const char* message;  // "" when the value passes
  } rows[] = {
      {"email", "ann@shop.example", ""},
      {"email", "ann@shop", "must be an e-mail address"},
      {"email", "ann@@shop.example", "must be an e-mail address"},
      {"email", "", ""},
      {"integer", "-12", ""},
      {"integer", "1.5", "must be a whole number"},
      {"integer 1..10", "11", "must be a whole number from 1 to 10"},
      {"integer 1..", "0", "must be a whole number of at least 1"},
      {"integer ..10", "10", ""},
      {"integer ..10", "12", "must be a whole number of at most 10"},
      {"number", "3.25", ""},
      {"number", "3e5", "must be a number"},
      {"number 0.5..2.5", "2.6", "must be a number from 0.5 to 2.5"},
      {"number 1..", "0.9", "must be a number of at least 1"},
      {"number ..1", "2", "must be a number of at most 1"},
      {"length 2..4", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", ""},
      {"length 2..4", "x", "must be 2 to 4 characters long"},
      {"length 2..", "x", "must be at least 2 characters long"},
      {"length ..3", "abcd", "must be at most 3 characters long"},
      {"one of red, green", "Green", ""},
      {"one of red, green", "blue", "must be one of: red, green"},
      {"date", "2024-02-29", ""},
      {"date", "2023-02-29", "must be a date (YYYY-MM-DD)"},
      {"date", "2024-13-01", "must be a date (YYYY-MM-DD)"},
      {"pattern [A-Z]{2}[0-9]+", "AB12", ""},
      {"pattern [A-Z]{2}[0-9]+", "xAB12", "is not in the expected form"},
  };
  for (const Row& row : rows) {
    rules::FormRules read_rules = read({{"Validate", std::string("f: ") + row.check}});
    std::vector<rules::FieldError> errors =
        rules::validate_fields(read_rules, lookup({{"f", row.value}}));
    std::string message = errors.empty() ? "" : errors[0].english();
    EXPECT_EQ(row.message, message) << row.check << " / " << row.value;
  }
}

TEST(FormRules, MistakesAreNamed) {
  struct Row {
    const char* key;
    const char* value;
    const char* reason;
  } rows[] = {
      {"Route", "dept: sales sales@shop.example",
       "no \"->\" between the condition and what follows it"},
      {"Route2", "dept: sales -> sales", "\"sales\" is no mail address"},
      {"Route", "dept: -> a@shop.example", "the condition names no value"},
      {"When", "dept was sales -> tag x", "unknown condition;"},
      {"When", "dept: x -> tag a b", "\"tag a b\": a tag is letters, digits, \"_-.\""},
      {"When", "dept: x -> mail template ../x.txt", "a template name below TEMPLATE_DIR"},
      {"When", "dept: x -> send everything", "\"send everything\": unknown action;"},
      {"When", "dept: x -> webhook crm/x", "a webhook is an http(s):// address or a name of"},
      {"When", "dept: x -> webhook", "a webhook is an http(s):// address or a name of"},
      {"When", "dept: x -> ", "no action after \"->\""},
      {"When1", "n in 5..1 -> tag x", "the range's low bound is above its high bound"},
      {"When", "n matches (a -> tag x", "the pattern cannot be read: missing )"},
      {"Validate", "qty integer", "write FIELD: CHECK"},
      {"Validate", "qty: integer 1..x", "\"x\" is no whole number"},
      {"Validate", "qty: length", "a range is written LOW..HIGH"},
      {"Validate", "qty: colour", "unknown check;"},
      {"Validate", "qty: pattern ((a{1000}){1000}){1000}", "the pattern cannot be read: "},
      {"RouteFallback", "", "no address"},
  };
  for (const Row& row : rows) {
    std::optional<std::string> reason = rules::rule_value_problem(row.key, row.value);
    ASSERT_TRUE(reason) << row.value;
    EXPECT_NE(std::string::npos, reason->find(row.reason)) << *reason;
  }
  EXPECT_FALSE(rules::rule_value_problem("Validate7", "qty: integer 1..10"));
  EXPECT_FALSE(rules::is_rule_key("Routes"));
  EXPECT_TRUE(rules::is_rule_key("when12"));
}

TEST(FormRules, RoutingAndActions) {
  rules::FormRules profile = read({
      {"Route2", "topic contains refund -> billing@shop.example"},
      {"Route", "dept: sales -> sales@shop.example"},
      {"Route1", "dept is one of sales, support -> help@shop.example, sales@shop.example"},
      {"RouteFallback", "office@shop.example"},
      {"When", "amount in 1000.. -> tag big; receipt template big.txt"},
      {"When2", "dept: support -> skip receipt; webhook https://hooks.example/s; tag support"},
      {"When1", "topic is not empty -> mail template topic.txt; tag big"},
      {"When3", "dept: support -> webhook CRM; webhook gone; webhook crm"},
  });
  rules::resolve_named_webhooks(
      profile, {{"other", "https://other.example/"}, {"crm", "https://crm.example/h"}});
  struct Row {
    std::map<std::string, std::string> fields;
    std::vector<std::string> recipients;
    bool fell_back;
    std::vector<std::string> tags;
  } rows[] = {
      {{{"dept", "sales"}}, {"sales@shop.example", "help@shop.example"}, false, {}},
      {{{"dept", "support"}, {"topic", "Refund"}},
       {"help@shop.example", "sales@shop.example", "billing@shop.example"},
       false,
       {"big", "support"}},
      {{{"dept", "elsewhere"}, {"amount", "5000"}}, {"office@shop.example"}, true, {"big"}},
  };
  for (const Row& row : rows) {
    rules::RuleDecision decision = rules::decide_rules(profile, lookup(row.fields));
    EXPECT_TRUE(decision.routed);
    EXPECT_EQ(row.recipients, decision.recipients);
    EXPECT_EQ(row.fell_back, decision.fell_back);
    EXPECT_EQ(row.tags, decision.tags);
  }
  rules::RuleDecision support = rules::decide_rules(
      profile, lookup({{"dept", "support"}, {"topic", "x"}, {"amount", "1000"}}));
  EXPECT_TRUE(support.skip_receipt);
  EXPECT_EQ("topic.txt", support.mail_template);
  EXPECT_EQ("big.txt", support.receipt_template);
  EXPECT_EQ((std::vector<std::string>{"https://hooks.example/s", "https://crm.example/h"}),
            support.webhooks);
  EXPECT_EQ(std::vector<std::string>{"gone"}, support.unknown_webhooks);
  EXPECT_EQ(5u, support.matched.size());
  EXPECT_FALSE(rules::decide_rules(read({{"When", "a: b -> tag c"}}), lookup({})).routed);
}

TEST(FormRules, FirstFailedCheckOfEachField) {
  rules::FormRules profile = read({{"Validate", "qty: integer"},
                                   {"Validate1", "qty: integer 1..5"},
                                   {"Validate2", "mail: email"}});
  std::vector<rules::FieldError> errors =
      rules::validate_fields(profile, lookup({{"qty", "x"}, {"mail", "nobody"}}));
  ASSERT_EQ(2u, errors.size());
  EXPECT_EQ("qty", errors[0].field);
  EXPECT_EQ("must be a whole number", errors[0].english());
  EXPECT_EQ("mail", errors[1].field);
}

TEST(FormRules, LongInputAgainstAHeavyPatternIsCheckedInLinearTime) {
  rules::FormRules profile = read({{"Validate", "f: pattern (a+)+$"}});
  std::string value(200000, 'a');
  value += '!';
  EXPECT_EQ(1u, rules::validate_fields(profile, lookup({{"f", value}})).size());
}

}  // namespace
