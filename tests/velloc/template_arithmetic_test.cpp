#include "velloc/template_arithmetic.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseLeadingDoubleTest, ReadsTheLeadingDecimalNumber) {
  EXPECT_EQ(12.5, parse_leading_double("  12.5kg"));
  EXPECT_EQ(-3, parse_leading_double("-3"));
  EXPECT_EQ(4, parse_leading_double("+4."));
  EXPECT_EQ(0.25, parse_leading_double(".25"));
  EXPECT_EQ(1500, parse_leading_double("1.5e3x"));
  EXPECT_EQ(2, parse_leading_double("2e"));
  EXPECT_EQ(2, parse_leading_double("2e+"));
}

TEST(ParseLeadingDoubleTest, TextThatIsNotANumberCountsZero) {
  for (const char* text :
       {"", "abc", ".", "-", "+.e5", "inf", "nan", " infinity"})
    EXPECT_EQ(0, parse_leading_double(text)) << text;
  EXPECT_EQ(0, parse_leading_double("0x1F"));
}

TEST(FormatAmountTest, FixedPointWithTwoDecimalsAndWidthFour) {
  EXPECT_EQ("0.00", format_amount(0));
  EXPECT_EQ("7.50", format_amount(7.5));
  EXPECT_EQ("-1.00", format_amount(-1));
  EXPECT_EQ("1234567.89", format_amount(1234567.891));
  EXPECT_EQ(" inf", format_amount(1.0 / 0.0));
  EXPECT_EQ("-inf", format_amount(-1.0 / 0.0));
  EXPECT_EQ(313u, format_amount(-1.7e308).size());  // 309 digits
}

class ArithmeticTest : public ::testing::Test {
 protected:
  ArithmeticTest() {
    request_.set_field("QTY", "3");
    request_.set_field("PRICE", "2.50");
    request_.set_field("TOTAL", "10");
  }
  std::string run(std::string_view argument, std::string_view target) {
    apply_arithmetic(argument, request_);
    return request_.get_field(target);
  }
  CgiRequest request_;
};

TEST_F(ArithmeticTest, Operators) {
  EXPECT_EQ("7.50", run("sum = QTY PRICE", "SUM"));
  EXPECT_EQ("17.50", run("TOTAL + QTY PRICE", "TOTAL"));
  EXPECT_EQ("15.00", run("TOTAL - 2.5", "TOTAL"));
  EXPECT_EQ("90.00", run("TOTAL * 2 3", "TOTAL"));
  EXPECT_EQ("30.00", run("TOTAL / QTY", "TOTAL"));
  EXPECT_EQ("30.00", run("TOTAL % 5", "TOTAL"));
  EXPECT_EQ("30.00", run("TOTAL", "TOTAL"));
}

TEST_F(ArithmeticTest, OperatorIsTheFirstCharacterOfItsToken) {
  EXPECT_EQ("6.00", run("X =anything 6", "X"));
  EXPECT_EQ("12.00", run("X +- 6", "X"));
}

TEST_F(ArithmeticTest, CommasAndSpacesSeparateTokens) {
  EXPECT_EQ("7.50", run(" ,sum,,=, QTY , PRICE ,", "SUM"));
}

TEST_F(ArithmeticTest, OperandBDefaultsToOneButOperandADoesNot) {
  EXPECT_EQ("3.00", run("A = QTY", "A"));
  EXPECT_EQ("3.00", run("B = QTY 0", "B"));
  EXPECT_EQ("0.00", run("C = 0 5", "C"));
  EXPECT_EQ("0.00", run("D = ABSENT 5", "D"));
  EXPECT_EQ("10.00", run("TOTAL + ABSENT", "TOTAL"));
}

TEST_F(ArithmeticTest, TargetIsStoredUpperCased) {
  run("newField = 4", "x");
  EXPECT_EQ("4.00", request_.get_field("NEWFIELD"));
  std::string listed;
  request_.fields.for_each([&](const std::string& name, const std::string&) {
    if (name.find("NEW") == 0) listed = name;
  });
  EXPECT_EQ("NEWFIELD", listed);
}

TEST_F(ArithmeticTest, NonNumericCurrentValueCountsZero) {
  request_.set_field("WORD", "hello");
  EXPECT_EQ("5.00", run("WORD + 5", "WORD"));
}

TEST_F(ArithmeticTest, DivisionByZeroStoresThePrintfText) {
  EXPECT_EQ(" inf", run("TOTAL / ABSENT", "TOTAL"));
  std::string not_a_number = run("N / 0", "N");
  EXPECT_TRUE(not_a_number == "-nan" || not_a_number == " nan") << not_a_number;
}

TEST_F(ArithmeticTest, LongArgumentsAreHandledWhole) {
  std::string digits = "1" + std::string(3000, '0');
  EXPECT_EQ(" inf", run("BIG = " + digits, "BIG"));
  std::string long_name(3000, 'n');
  request_.set_field(long_name, "2");
  EXPECT_EQ("4.00", run("L = " + long_name + " 2", "L"));
}

}  // namespace
