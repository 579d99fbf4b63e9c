#include "velloc/templates/template_arithmetic.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "platform/text.h"

namespace {

constexpr std::size_t kTokenCount = 4;
constexpr std::string_view kSeparators = ", ";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_digits(std::string_view text, std::size_t pos) {
  while (pos < text.size() && is_digit(text[pos])) ++pos;
  return pos;
}

// Length of the longest prefix of `text` that reads as a decimal number; 0 when
// there is none.
std::size_t number_prefix_length(std::string_view text) {
  std::size_t pos = text.find_first_not_of(platform::kWhiteSpace);
  if (pos == std::string_view::npos) return 0;
  if (text[pos] == '+' || text[pos] == '-') ++pos;
  std::size_t integer_end = skip_digits(text, pos);
  std::size_t end = integer_end;
  bool has_digits = integer_end > pos;
  if (end < text.size() && text[end] == '.') {
    std::size_t fraction_end = skip_digits(text, end + 1);
    has_digits = has_digits || fraction_end > end + 1;
    end = fraction_end;
  }
  if (!has_digits) return 0;
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    std::size_t exponent = end + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    std::size_t exponent_end = skip_digits(text, exponent);
    if (exponent_end > exponent) end = exponent_end;
  }
  return end;
}

// The first four tokens of the argument, split at runs of commas and spaces;
// missing tokens are empty.
std::array<std::string_view, kTokenCount> split_tokens(std::string_view argument) {
  std::array<std::string_view, kTokenCount> tokens{};
  std::size_t pos = 0;
  for (std::string_view& token : tokens) {
    pos = argument.find_first_not_of(kSeparators, pos);
    if (pos == std::string_view::npos) break;
    std::size_t end = argument.find_first_of(kSeparators, pos);
    token = argument.substr(pos, end - pos);
    if (end == std::string_view::npos) break;
    pos = end;
  }
  return tokens;
}

// A number written in the template, or else the number held by the field of
// that name.
double operand_value(std::string_view token, const CgiRequest& request) {
  double value = parse_leading_double(token);
  if (value == 0) value = parse_leading_double(request.get_field(token));
  return value;
}

double combine(char op, double current, double product) {
  switch (op) {
    case '*':
      return product * current;
    case '+':
      return current + product;
    case '-':
      return current - product;
    case '/':
      return current / product;
    case '=':
      return product;
    default:
      return current;
  }
}

}  // namespace

double parse_leading_double(std::string_view text) {
  std::size_t length = number_prefix_length(text);
  if (length == 0) return 0;
  return std::strtod(std::string(text.substr(0, length)).c_str(), nullptr);
}

std::string format_amount(double value) {
  // The widest "%4.2f" of a double: 309 integer digits, sign, point, two
  // decimals.
  std::array<char, 400> buffer;
  int written = std::snprintf(buffer.data(), buffer.size(), "%4.2f", value);
  if (written < 0) return std::string();
  return std::string(buffer.data(), std::min<std::size_t>(written, buffer.size() - 1));
}

void apply_arithmetic(std::string_view argument, CgiRequest& request) {
  auto [target, operator_token, operand_a, operand_b] = split_tokens(argument);
  double current = parse_leading_double(request.get_field(target));
  char op = operator_token.empty() ? ' ' : operator_token.front();
  double a = operand_value(operand_a, request);
  double b = operand_value(operand_b, request);
  if (b == 0) b = 1;
  request.set_field(to_upper_ascii(target), format_amount(combine(op, current, a * b)));
}
