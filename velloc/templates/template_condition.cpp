// evaluate_condition: the "[left operator right]" tests of the template
// language.
#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/ini_file.h"
#include "platform/text.h"
#include "velloc/templates/template_engine.h"

namespace {

constexpr std::string_view kOperatorCharacters = "<>=!";

enum class Order { kLess, kEqual, kGreater };
enum class TermKind { kNumber, kQuoted, kFieldName };

struct Term {
  std::string_view text;
  TermKind kind;
  int number;  // the integer value of the text
};

Term classify(std::string_view text) {
  int number = platform::parse_leading_int(text);
  if (number != 0) return {text, TermKind::kNumber, number};
  if (!text.empty() && text.front() == '"' && text.back() == '"')
    return {text, TermKind::kQuoted, 0};
  return {text, TermKind::kFieldName, 0};
}

bool is_present(const Term& term, const CgiRequest& request) {
  return term.kind != TermKind::kFieldName || request.field_is_set(term.text);
}

std::string_view first_unquoted_run(std::string_view text) {
  std::size_t start = text.find_first_not_of('"');
  if (start == std::string_view::npos) return {};
  text.remove_prefix(start);
  return text.substr(0, text.find('"'));
}

std::string padded_number(int value) {
  std::array<char, 16> buffer;
  std::snprintf(buffer.data(), buffer.size(), "%08d", value);
  return buffer.data();
}

// The text a term is compared by: numbers as zero-padded eight-digit keys,
// quoted text without its quotes, field names by their value.
std::string comparison_key(const Term& term, const CgiRequest& request) {
  switch (term.kind) {
    case TermKind::kNumber:
      return padded_number(term.number);
    case TermKind::kQuoted:
      return std::string(first_unquoted_run(term.text));
    case TermKind::kFieldName:
      break;
  }
  std::string value = request.get_field(term.text);
  int number = platform::parse_leading_int(value);
  return number != 0 ? padded_number(number) : value;
}

unsigned char folded(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

Order compare_ignoring_case(std::string_view left, std::string_view right) {
  std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (folded(left[i]) != folded(right[i]))
      return folded(left[i]) < folded(right[i]) ? Order::kLess : Order::kGreater;
  }
  if (left.size() == right.size()) return Order::kEqual;
  return left.size() < right.size() ? Order::kLess : Order::kGreater;
}

bool operator_accepts(std::string_view op, Order order) {
  const bool unequal = op == "<>" || op == "><" || op == "!=";
  switch (order) {
    case Order::kLess:
      return unequal || op == "<=" || op == "<";
    case Order::kEqual:
      return op == "=" || op == "==" || op == "<=" || op == ">=";
    case Order::kGreater:
      return unequal || op == ">=" || op == ">";
  }
  return false;
}

}  // namespace

bool evaluate_condition(std::string_view text, const CgiRequest& request) {
  text = platform::trim(text);
  std::size_t operator_start = text.find_first_of(kOperatorCharacters);
  std::string_view left = text.substr(0, operator_start);
  std::string_view op;
  std::string_view right;
  if (operator_start != std::string_view::npos) {
    std::size_t operator_end = text.find_first_not_of(kOperatorCharacters, operator_start);
    op = text.substr(operator_start, operator_end - operator_start);
    if (operator_end != std::string_view::npos) right = text.substr(operator_end);
  }
  Term left_term = classify(platform::trim(left));
  Term right_term = classify(platform::trim(right));
  if (right_term.text.empty() && is_present(left_term, request)) return true;
  return operator_accepts(op, compare_ignoring_case(comparison_key(left_term, request),
                                                    comparison_key(right_term, request)));
}
