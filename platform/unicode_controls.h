// Recognising the characters that change how text is shown rather than showing
// anything: control characters and the Unicode line, paragraph and bidirectional
// controls, in UTF-8 text. Used where untrusted text reaches a log or a file name.
#pragma once

#include <cstddef>
#include <string>
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

// How escape_controls treats line ends, tabs and bytes outside UTF-8.
enum class ControlEscape {
  // As the log writes a line: carriage returns and line feeds become blanks,
  // tabs are escaped, and so is a C1 byte (0x80 to 0x9F) that starts no UTF-8
  // sequence, which a terminal could take for a control.
  kOneLine,
  // As a cell of a table keeps a text: tabs, carriage returns and line feeds stay,
  // as do bytes that are not UTF-8 (the text may be in another character set).
  kTableCell,
};

// `text` with its control characters, but those that `escape` keeps, written as
// "\x1b" (one byte) or "\u202e" (a UTF-8 character), so that whatever shows the
// text shows them instead of obeying them. Other text stays byte for byte.
std::string escape_controls(std::string_view text, ControlEscape escape);

}  // namespace platform
