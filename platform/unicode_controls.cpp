#include "platform/unicode_controls.h"

namespace platform {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The sequence length announced by a lead byte and the smallest code point that
// needs it; length 0 for a byte that cannot start a sequence.
struct LeadByte {
  std::size_t length;
  char32_t bits;
  char32_t smallest;
};

LeadByte read_lead(unsigned char byte) {
  if (byte < 0x80) return {1, byte, 0};
  if ((byte & 0xE0) == 0xC0) return {2, byte & 0x1Fu, 0x80};
  if ((byte & 0xF0) == 0xE0) return {3, byte & 0x0Fu, 0x800};
  if ((byte & 0xF8) == 0xF0) return {4, byte & 0x07u, 0x10000};
  return {0, 0, 0};
}

constexpr char kHexDigits[] = "0123456789abcdef";

void append_hex(std::string& out, const char* lead, char32_t value, int digits) {
  out += lead;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out += kHexDigits[(value >> shift) & 0xF];
}

bool is_layout(unsigned char byte) { return byte == '\t' || byte == '\r' || byte == '\n'; }

// Appends the character at the start of `text` as escape_controls writes it, and
// returns how many bytes it took.
std::size_t append_escaped(std::string& out, std::string_view text, ControlEscape escape) {
  unsigned char byte = static_cast<unsigned char>(text[0]);
  bool one_line = escape == ControlEscape::kOneLine;
  if (is_layout(byte) && (!one_line || byte != '\t')) {
    out += one_line ? ' ' : static_cast<char>(byte);
    return 1;
  }
  Utf8Character character = first_utf8_character(text);
  if (character.length == 0) {
    if (one_line && byte >= 0x80 && byte <= 0x9F)
      append_hex(out, "\\x", byte, 2);
    else
      out += static_cast<char>(byte);
    return 1;
  }
  if (!is_control_character(character.code_point))
    out.append(text.substr(0, character.length));
  else if (character.length == 1)
    append_hex(out, "\\x", character.code_point, 2);
  else
    append_hex(out, "\\u", character.code_point, 4);
  return character.length;
}

}  // namespace

Utf8Character first_utf8_character(std::string_view text) {
  if (text.empty()) return {};
  LeadByte lead = read_lead(static_cast<unsigned char>(text[0]));
  if (lead.length == 0 || text.size() < lead.length) return {};
  char32_t code_point = lead.bits;
  for (std::size_t i = 1; i < lead.length; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (!is_continuation(byte)) return {};
    code_point = (code_point << 6) | (byte & 0x3Fu);
  }
  if (code_point < lead.smallest || code_point > 0x10FFFF) return {};
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return {};
  return {code_point, lead.length};
}

bool is_bidirectional_control(char32_t c) {
  return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x061C;
}

bool is_control_character(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         is_bidirectional_control(c);
}

std::string escape_controls(std::string_view text, ControlEscape escape) {
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t at = 0; at < text.size();)
    at += append_escaped(escaped, text.substr(at), escape);
  return escaped;
}

}  // namespace platform
