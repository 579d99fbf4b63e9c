#include "velloc/request/html_escape.h"

#include <utility>

#include "platform/text.h"

std::string html_escape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

namespace {

constexpr std::size_t kMaxReferenceLength = 10;  // "&#x10FFFF;"
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

void append_utf8(std::string& out, char32_t code) {
  auto put = [&](char32_t bits) { out += static_cast<char>(bits); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6));
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3F));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

// A hexadecimal digit's value; -1 for any other character.
int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text of a numeric reference's digits ("65", "x41"); U+FFFD for one that names
// no character; false when they are not digits at all.
bool append_numeric_reference(std::string& out, std::string_view digits) {
  int base = 10;
  if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
    base = 16;
    digits.remove_prefix(1);
  }
  if (digits.empty()) return false;
  char32_t code = 0;
  for (char c : digits) {
    int value = digit_value(c);
    if (value < 0 || value >= base) return false;
    code = code * base + value;
  }
  bool named = code != 0 && code <= kMaxCodePoint && (code < 0xD800 || code > 0xDFFF);
  if (named)
    append_utf8(out, code);
  else
    out += kReplacement;
  return true;
}

// Decodes the reference whose name (between "&" and ";") is `name`; false when
// it is not one this program writes or a numeric one.
bool append_reference(std::string& out, std::string_view name) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& [entity, character] : kNamed) {
    if (name != entity) continue;
    out += character;
    return true;
  }
  return name.starts_with('#') && append_numeric_reference(out, name.substr(1));
}

}  // namespace

std::string html_to_text(std::string_view html) {
  std::string text;
  text.reserve(html.size());
  std::size_t i = 0;
  while (i < html.size()) {
    char c = html[i];
    if (c == '<') {
      std::size_t close = html.find('>', i);
      if (close == std::string_view::npos) {
        text += html.substr(i);
        break;
      }
      i = close + 1;
      continue;
    }
    std::size_t end = c == '&' ? html.substr(i, kMaxReferenceLength + 1).find(';') : 0;
    if (c == '&' && end != std::string_view::npos &&
        append_reference(text, html.substr(i + 1, end - 1))) {
      i += end + 1;
      continue;
    }
    text += c;
    ++i;
  }
  return std::string(platform::trim(text));
}
