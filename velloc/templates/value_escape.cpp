#include "velloc/templates/value_escape.h"

#include "platform/text.h"
#include "velloc/request/html_escape.h"
#include "velloc/response/json_writer.h"

namespace {

// What a spreadsheet may read as the start of a formula or a command: the ASCII
// signs, the control characters it skips, the pipe of the old DDE form and the
// fullwidth signs that some programs fold onto the ASCII ones.
constexpr std::string_view kFormulaStarts = "=+-@\t\r\n|";
constexpr std::string_view kFullwidthFormulaStarts[] = {"\xEF\xBC\x9D", "\xEF\xBC\x8B",
                                                        "\xEF\xBC\x8D", "\xEF\xBC\xA0"};
// Blanks that a spreadsheet skips before it looks for a formula sign: the space,
// the no-break space and the ideographic space.
constexpr std::string_view kBlanks[] = {" ", "\xC2\xA0", "\xE3\x80\x80"};

std::string_view skip_blanks(std::string_view value) {
  for (bool skipped = true; skipped;) {
    skipped = false;
    for (std::string_view blank : kBlanks)
      if (value.starts_with(blank)) {
        value.remove_prefix(blank.size());
        skipped = true;
      }
  }
  return value;
}

bool starts_like_formula(std::string_view value) {
  value = skip_blanks(value);
  if (value.empty()) return false;
  if (kFormulaStarts.find(value.front()) != std::string_view::npos) return true;
  for (std::string_view sign : kFullwidthFormulaStarts)
    if (value.starts_with(sign)) return true;
  return false;
}

std::string csv_escape(std::string_view value) {
  std::string quoted = "\"";
  if (starts_like_formula(value)) quoted += '\'';
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted += '"';
}

// The JSON string literal without its quotes.
std::string json_escape(std::string_view value) {
  std::string literal = json_string(value);
  return literal.substr(1, literal.size() - 2);
}

}  // namespace

std::string escape_value(std::string_view value, ValueEscape escape) {
  switch (escape) {
    case ValueEscape::kHtml:
      return html_escape(value);
    case ValueEscape::kCsv:
      return csv_escape(value);
    case ValueEscape::kJson:
      return json_escape(value);
    case ValueEscape::kNone:
      break;
  }
  return std::string(value);
}

ValueEscape parse_value_escape(std::string_view setting) {
  if (platform::equal_ignoring_case(setting, "HTML")) return ValueEscape::kHtml;
  if (platform::equal_ignoring_case(setting, "CSV")) return ValueEscape::kCsv;
  if (platform::equal_ignoring_case(setting, "JSON")) return ValueEscape::kJson;
  return ValueEscape::kNone;
}
