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

}  // namespace platform
