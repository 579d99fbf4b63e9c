#include "velloc/mail/reply_text.h"

#include "platform/unicode_controls.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string hex_escape(const char* lead, char32_t value, int digits) {
  std::string escape = lead;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    escape += kHexDigits[(value >> shift) & 0xF];
  return escape;
}

// The character at the start of `text` as reply_text writes it; `*length`
// gets the bytes it took.
std::string shown_character(std::string_view text, std::size_t* length) {
  platform::Utf8Character character = platform::first_utf8_character(text);
  if (character.length == 0) {
    *length = 1;
    return hex_escape("\\x", static_cast<unsigned char>(text[0]), 2);
  }
  *length = character.length;
  if (!platform::is_control_character(character.code_point))
    return std::string(text.substr(0, character.length));
  return character.length == 1 ? hex_escape("\\x", character.code_point, 2)
                               : hex_escape("\\u", character.code_point, 4);
}

}  // namespace

std::string reply_text(std::string_view text) {
  while (text.ends_with('\n') || text.ends_with('\r')) text.remove_suffix(1);
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = 0;
    std::string piece = shown_character(text.substr(at), &length);
    if (shown.size() + piece.size() > kMaxReplyText) break;
    shown += piece;
    at += length;
  }
  return shown;
}

std::string final_reply_line(const std::vector<std::string>& lines) {
  return lines.empty() ? std::string() : reply_text(lines.back());
}
