#include <gtest/gtest.h>

#include "velloc/template_engine.h"

namespace {

class ConditionTest : public ::testing::Test {
 protected:
  ConditionTest() {
    request_.set_field("NAME", "Ann");
    request_.set_field("LOWER", "ann");
    request_.set_field("QTY", "12");
    request_.set_field("PRICE", "9.99");
    request_.set_field("ZERO", "0");
    request_.set_field("SPACE", " ");
    request_.set_field("EMPTY", "");
    request_.set_field("A", "a");
    request_.set_field("B", "b");
  }
  bool holds(std::string_view text) {
    return evaluate_condition(text, request_);
  }

  CgiRequest request_;
};

TEST_F(ConditionTest, PresenceTestWithoutOperator) {
  EXPECT_TRUE(holds("NAME"));
  EXPECT_TRUE(holds("  name  "));
  EXPECT_TRUE(holds("ZERO"));
  EXPECT_TRUE(holds("SPACE"));
  EXPECT_FALSE(holds("EMPTY"));
  EXPECT_FALSE(holds("ABSENT"));
  EXPECT_FALSE(holds(""));
  EXPECT_TRUE(holds("5"));
  EXPECT_TRUE(holds("\"quoted\""));
  EXPECT_FALSE(holds("0"));
}

TEST_F(ConditionTest, EmptyRightSideFallsBackToComparison) {
  EXPECT_TRUE(holds("NAME ="));
  EXPECT_TRUE(holds("EMPTY ="));
  EXPECT_FALSE(holds("EMPTY !="));
  EXPECT_TRUE(holds("NAME !="));
  EXPECT_FALSE(holds("EMPTY >"));
}

TEST_F(ConditionTest, OperatorTableForEachOutcome) {
  // Keys: A is "a", B is "b".
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

TEST_F(ConditionTest, OperatorIsTheFirstRunOfOperatorCharacters) {
  // "A > = B": operator ">" and right "= B", a field name that is absent.
  EXPECT_TRUE(holds("A > = B"));
  // "X=Y<Z": operator "=", right "Y<Z".
  request_.set_field("Y<Z", "a");
  EXPECT_TRUE(holds("A=Y<Z"));
}

TEST_F(ConditionTest, NumbersCompareAsPaddedIntegers) {
  EXPECT_TRUE(holds("QTY > 9"));
  EXPECT_TRUE(holds("QTY = 12"));
  EXPECT_TRUE(holds("PRICE = 9"));
  EXPECT_TRUE(holds("PRICE < 10"));
  EXPECT_TRUE(holds("-5 < 3"));
  EXPECT_TRUE(holds("12abc = QTY"));
  // Past eight digits the padding no longer lines the numbers up.
  EXPECT_FALSE(holds("123456789 > 99999999"));
}

TEST_F(ConditionTest, NegativeNumbersCompareByTheirText) {
  // "-0000005" against "-0000010": the padded texts decide, not the values.
  EXPECT_TRUE(holds("-5 < -10"));
}

TEST_F(ConditionTest, FieldValuesCompareWithoutRegardToCase) {
  EXPECT_TRUE(holds("NAME = LOWER"));
  EXPECT_TRUE(holds("NAME = \"aNN\""));
  EXPECT_TRUE(holds("name < \"annex\""));
  EXPECT_TRUE(holds("NAME != \"Bob\""));
}

TEST_F(ConditionTest, QuotedTextUsesTheFirstRunBetweenQuotes) {
  EXPECT_TRUE(holds("\"ann\"more\" = NAME"));
  EXPECT_TRUE(holds("EMPTY = \"\""));
  EXPECT_TRUE(holds("EMPTY = \""));
  EXPECT_TRUE(holds("\"Ann\" == \"ANN\""));
}

TEST_F(ConditionTest, ZeroAndTextAreFieldNames) {
  // The right side 0 names the field "0", absent at first.
  EXPECT_FALSE(holds("ZERO = 0"));
  request_.set_field("0", "0");
  EXPECT_TRUE(holds("ZERO = 0"));
  // Quoted "12" is text: "12" against the key "00000012".
  EXPECT_TRUE(holds("\"12\" > QTY"));
}

TEST_F(ConditionTest, NumberAgainstTextComparesPaddedDigits) {
  EXPECT_TRUE(holds("5 < NAME"));
  EXPECT_TRUE(holds("5 < \"1\""));
}

TEST_F(ConditionTest, LongQuotedTermsAreHandledWhole) {
  std::string long_text(5000, 'x');
  request_.set_field("LONG", long_text);
  EXPECT_TRUE(holds("LONG = \"" + long_text + "\""));
  EXPECT_FALSE(holds("LONG = \"" + long_text + "y\""));
}

}  // namespace
