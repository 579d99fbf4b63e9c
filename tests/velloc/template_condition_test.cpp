#include <gtest/gtest.h>

#include "velloc/template_engine.h"

namespace {

class ConditionTest : public ::testing::Test {
 protected:
  ConditionTest() {
    for (auto [name, value] : {std::pair{"NAME", "Ann"},
                               {"LOWER", "ann"},
                               {"QTY", "12"},
                               {"PRICE", "9.99"},
                               {"ZERO", "0"},
                               {"SPACE", " "},
                               {"EMPTY", ""},
                               {"A", "a"},
                               {"B", "b"},
                               {"Y<Z", "a"}})
      request_.set_field(name, value);
  }
  bool holds(std::string_view text) { return evaluate_condition(text, request_); }

  CgiRequest request_;
};

TEST_F(ConditionTest, Table) {
  std::pair<std::string, bool> cases[] = {
      // Presence tests, also with an empty right side.
      {"NAME", true},
      {"  name  ", true},
      {"ZERO", true},
      {"SPACE", true},
      {"EMPTY", false},
      {"ABSENT", false},
      {"", false},
      {"5", true},
      {"\"quoted\"", true},
      {"0", false},
      {"NAME =", true},
      {"EMPTY =", true},
      {"EMPTY !=", false},
      {"NAME !=", true},
      {"EMPTY >", false},
      // The operator is the first run of operator characters: "A > = B" compares A with the
      // absent field "= B"; "A=Y<Z" compares A with the field "Y<Z".
      {"A > = B", true},
      {"A=Y<Z", true},
      // Numbers compare as zero-padded integers of eight digits.
      {"QTY > 9", true},
      {"QTY = 12", true},
      {"PRICE = 9", true},
      {"PRICE < 10", true},
      {"-5 < 3", true},
      {"12abc = QTY", true},
      {"123456789 > 99999999", false},
      {"-5 < -10", true},  // "-0000005" against "-0000010"
      // Text compares without regard to case; quoted text is its first unquoted run.
      {"NAME = LOWER", true},
      {"NAME = \"aNN\"", true},
      {"name < \"annex\"", true},
      {"NAME != \"Bob\"", true},
      {"\"ann\"more\" = NAME", true},
      {"EMPTY = \"\"", true},
      {"EMPTY = \"", true},
      {"\"Ann\" == \"ANN\"", true},
      // 0 names a field; quoted digits stay text; a number against text compares the digits.
      {"ZERO = 0", false},
      {"\"12\" > QTY", true},
      {"\"5\" = 5", false},
      {"5 < NAME", true},
      {"5 < \"1\"", true},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(expected, holds(text)) << text;
  request_.set_field("0", "0");
  EXPECT_TRUE(holds("ZERO = 0"));
}

TEST_F(ConditionTest, OperatorsForEachOutcome) {
  // A is "a", B is "b".
  for (const char* op : {"<=", "<", "<>", "><", "!="})
    EXPECT_TRUE(holds(std::string("A") + op + "B")) << op;
  for (const char* op : {"=", "==", ">=", ">", "=<", "=>", "!", "<<", "!=="})
    EXPECT_FALSE(holds(std::string("A") + op + "B")) << op;
  for (const char* op : {"=", "==", "<=", ">="})
    EXPECT_TRUE(holds(std::string("A") + op + "A")) << op;
  for (const char* op : {"<", ">", "<>", "><", "!=", "=>", "=<", "!"})
    EXPECT_FALSE(holds(std::string("A") + op + "A")) << op;
  for (const char* op : {">=", ">", "<>", "><", "!="})
    EXPECT_TRUE(holds(std::string("B") + op + "A")) << op;
}

TEST_F(ConditionTest, LongQuotedTermsAreHandledWhole) {
  std::string long_text(5000, 'x');
  request_.set_field("LONG", long_text);
  EXPECT_TRUE(holds("LONG = \"" + long_text + "\""));
  EXPECT_FALSE(holds("LONG = \"" + long_text + "y\""));
}

}  // namespace
