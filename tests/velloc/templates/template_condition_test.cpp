#include <gtest/gtest.h>

#include "velloc/templates/template_engine.h"

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

TEST_F(ConditionTest, PresenceNumbersTextAndQuotes) {
  // Presence tests, also with an empty right side. The operator is the first run of operator
  // characters: "A > = B" compares A with the absent field "= B", "A=Y<Z" with the field "Y<Z".
  // Numbers compare as zero-padded integers of eight digits, so "-5 < -10" compares "-0000005"
  // with "-0000010". Text compares without regard to case; quoted text is its first unquoted
  // run; 0 names a field; quoted digits stay text.
  // clang-format off
  for (const char* text : {
           "NAME", "  name  ", "ZERO", "SPACE", "5", "\"quoted\"", "NAME =", "EMPTY =", "NAME !=",
           "A > = B", "A=Y<Z", "QTY > 9", "QTY = 12", "PRICE = 9", "PRICE < 10", "-5 < 3",
           "12abc = QTY", "-5 < -10", "NAME = LOWER", "NAME = \"aNN\"", "name < \"annex\"",
           "NAME != \"Bob\"", "\"ann\"more\" = NAME", "EMPTY = \"\"", "EMPTY = \"",
           "\"Ann\" == \"ANN\"", "\"12\" > QTY", "5 < NAME", "5 < \"1\""})
    EXPECT_TRUE(holds(text)) << text;
  for (const char* text : {"EMPTY", "ABSENT", "", "0", "EMPTY !=", "EMPTY >",
                           "123456789 > 99999999", "ZERO = 0", "\"5\" = 5"})
    EXPECT_FALSE(holds(text)) << text;
  // clang-format on
  request_.set_field("0", "0");
  EXPECT_TRUE(holds("ZERO = 0"));
}

TEST_F(ConditionTest, OperatorsForEachOutcome) {
  // A is "a", B is "b": left, right, the operators that hold, those that do not.
  // clang-format off
  struct {
    const char *left, *right;
    std::vector<const char*> hold, fail;
  } cases[] = {
      {"A", "B", {"<=", "<", "<>", "><", "!="},
                 {"=", "==", ">=", ">", "=<", "=>", "!", "<<", "!=="}},
      {"A", "A", {"=", "==", "<=", ">="}, {"<", ">", "<>", "><", "!=", "=>", "=<", "!"}},
      {"B", "A", {">=", ">", "<>", "><", "!="}, {"=", "<", "<="}}};
  // clang-format on
  for (const auto& c : cases) {
    for (const char* op : c.hold) EXPECT_TRUE(holds(std::string(c.left) + op + c.right)) << op;
    for (const char* op : c.fail) EXPECT_FALSE(holds(std::string(c.left) + op + c.right)) << op;
  }
}

TEST_F(ConditionTest, LongQuotedTermsAreHandledWhole) {
  std::string long_text(5000, 'x');
  request_.set_field("LONG", long_text);
  EXPECT_TRUE(holds("LONG = \"" + long_text + "\""));
  EXPECT_FALSE(holds("LONG = \"" + long_text + "y\""));
}

}  // namespace
