// Recognising the characters that change how text is shown rather than showing
// anything: control characters and the Unicode line, paragraph and bidirectional
// controls, in UTF-8 text. Used where untrusted text reaches a log or a file name.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// One character at the start of UTF-8 text.
struct Utf8Character {
  char32_t code_point = 0;
  std::size_t length = 0;  // 0: the text does not start with a valid, shortest-form sequence
};

// The character that `text` starts with; length 0 when `text` is empty or does not
// start with a well-formed UTF-8 sequence (overlong forms and surrogates included).
Utf8Character first_utf8_character(std::string_view text);

// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069 and U+061C: characters that
// reorder or re-direct the text around them when it is shown.
bool is_bidirectional_control(char32_t code_point);

// C0 controls, DEL, C1 controls (U+0085 included), U+2028, U+2029 and the
// bidirectional controls.
bool is_control_character(char32_t code_point);

}  // namespace platform
