#include "velloc/templates/value_escape.h"

#include "platform/text.h"
#include "velloc/request/html_escape.h"

namespace {

constexpr std::string_view kFormulaStarts = "=+-@";

std::string csv_escape(std::string_view value) {
  std::string quoted = "\"";
  if (!value.empty() && kFormulaStarts.find(value.front()) != std::string_view::npos)
    quoted += '\'';
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted += '"';
}

}  // namespace

std::string escape_value(std::string_view value, ValueEscape escape) {
  switch (escape) {
    case ValueEscape::kHtml:
      return html_escape(value);
    case ValueEscape::kCsv:
      return csv_escape(value);
    case ValueEscape::kNone:
      break;
  }
  return std::string(value);
}

ValueEscape parse_value_escape(std::string_view setting) {
  if (platform::equal_ignoring_case(setting, "HTML")) return ValueEscape::kHtml;
  if (platform::equal_ignoring_case(setting, "CSV")) return ValueEscape::kCsv;
  return ValueEscape::kNone;
}
