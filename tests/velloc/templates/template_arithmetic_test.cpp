#include "velloc/templates/template_arithmetic.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseLeadingDouble, ReadsTheLeadingDecimalNumberOnly) {
  std::pair<const char*, double> cases[] = {
      {"  12.5kg", 12.5}, {"-3", -3}, {"+4.", 4},       {".25", 0.25},
      {"1.5e3x", 1500},   {"2e", 2},  {"2e+", 2},       {"", 0},
      {"abc", 0},         {".", 0},   {"-", 0},         {"+.e5", 0},
      {"inf", 0},         {"nan", 0}, {" infinity", 0}, {"0x1F", 0}};
  for (auto [text, expected] : cases) EXPECT_EQ(expected, parse_leading_double(text)) << text;
}

TEST(FormatAmount, FixedPointWithTwoDecimalsAndWidthFour) {
  std::pair<double, const char*> cases[] = {{0, "0.00"},         {7.5, "7.50"},
                                            {-1, "-1.00"},       {1234567.891, "1234567.89"},
                                            {1.0 / 0.0, " inf"}, {-1.0 / 0.0, "-inf"}};
  for (auto [value, expected] : cases) EXPECT_EQ(expected, format_amount(value)) << value;
  EXPECT_EQ(313u, format_amount(-1.7e308).size());  // 309 digits
}

TEST(ApplyArithmetic, StepsOfOneRun) {
  CgiRequest request;
  for (auto [name, value] :
       {std::pair{"QTY", "3"}, {"PRICE", "2.50"}, {"TOTAL", "10"}, {"WORD", "hello"}})
    request.set_field(name, value);
  const std::string long_name(3000, 'n');
  request.set_field(long_name, "2");
  // Each argument, the field it sets and the value stored. Only the first character of the
  // operator token counts; operand B defaults to one, operand A does not.
  // clang-format off
  struct {
    std::string argument;
    const char *target, *expected;
  } cases[] = {
      {"sum = QTY PRICE", "SUM", "7.50"}, {"TOTAL + QTY PRICE", "TOTAL", "17.50"},
      {"TOTAL - 2.5", "TOTAL", "15.00"}, {"TOTAL * 2 3", "TOTAL", "90.00"},
      {"TOTAL / QTY", "TOTAL", "30.00"}, {"TOTAL % 5", "TOTAL", "30.00"},
      {"TOTAL", "TOTAL", "30.00"}, {"TOTAL +5", "TOTAL", "30.00"},
      {"X =anything 6", "X", "6.00"}, {"X +- 6", "X", "12.00"},
      {" ,s2,,=, QTY , PRICE ,", "S2", "7.50"}, {"A = QTY", "A", "3.00"},
      {"B = QTY 0", "B", "3.00"}, {"C = 0 5", "C", "0.00"}, {"D = ABSENT 5", "D", "0.00"},
      {"TOTAL + ABSENT", "TOTAL", "30.00"}, {"WORD + 5", "WORD", "5.00"},
      {"TOTAL / ABSENT", "TOTAL", " inf"}, {"BIG = 1" + std::string(3000, '0'), "BIG", " inf"},
      {"L = " + long_name + " 2", "L", "4.00"}};
  // clang-format on
  for (const auto& c : cases) {
    apply_arithmetic(c.argument, request);
    EXPECT_EQ(c.expected, request.get_field(c.target)) << c.argument.substr(0, 40);
  }
  apply_arithmetic("N / 0", request);
  EXPECT_TRUE(request.get_field("N") == "-nan" || request.get_field("N") == " nan");
  apply_arithmetic("newField = 4", request);
  bool listed_upper_cased = false;
  request.fields.for_each([&](const std::string& name, const std::string& value) {
    listed_upper_cased |= name == "NEWFIELD" && value == "4.00";
  });
  EXPECT_TRUE(listed_upper_cased);
}

}  // namespace
