// The encodings that let 8-bit text and long lines travel in mail: the choice of
// a character set label, quoted-printable bodies (streamed, every line under 998
// octets, no line beginning with "."), RFC 2047 encoded-words for header values
// and the folding of header lines. Pure functions and one streaming encoder;
// nothing here does I/O.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

// True when every byte is below 128.
bool is_7bit(std::string_view text);

// The longest line that may go on the wire, without its CR LF (RFC 5322).
inline constexpr std::size_t kMaxMailLine = 998;

// Follows a byte stream given in pieces and says whether it is all 7-bit, whether
// it is valid UTF-8 and how long its longest line is once sent as content.
class TextScan {
 public:
  void add(std::string_view piece);
  bool seven_bit() const { return seven_bit_; }
  bool valid_utf8() const { return valid_utf8_ && continuation_bytes_ == 0; }
  // In octets as they leave: carriage returns dropped, one more "." in front of
  // a line that begins with one.
  std::size_t longest_line() const { return std::max(longest_line_, line_length_); }

 private:
  void count_line(char c);
  std::size_t line_length_ = 0;
  std::size_t longest_line_ = 0;
  bool seven_bit_ = true;
  bool valid_utf8_ = true;
  int continuation_bytes_ = 0;
  unsigned char lead_ = 0;
};

// The label for 8-bit text: `configured` when it is not empty, else "UTF-8" for
// valid UTF-8 and "windows-1252" for anything else.
std::string charset_label(const TextScan& scan, std::string_view configured);
std::string charset_label(std::string_view text, std::string_view configured);

// Quoted-printable in wire form (CR LF line ends). Carriage returns of the input
// are dropped and each line feed ends a line; lines are broken softly before 76
// columns. Bytes are handed over in pieces of any size.
class QuotedPrintableEncoder {
 public:
  // Appends the encoded form of `piece` to `out` (complete lines and part of the
  // current one).
  void add(std::string_view piece, std::string& out);
  // Ends the text: a pending blank is encoded. The last line gets no line end.
  void finish(std::string& out);

 private:
  void emit(std::string_view token, std::string& out);
  std::size_t column_ = 0;
  char pending_blank_ = 0;
};

std::string encode_quoted_printable(std::string_view text);

// A header value as it goes on the wire after "<name>: ". A 7-bit value whose line
// fits into 998 octets comes back unchanged; a longer one is folded at its blanks
// (78 columns where its words allow), and a run that cannot fit into a line of its
// own goes as encoded-words. Otherwise an unstructured value (Subject and any
// other name) becomes encoded-words; an address list (From, To, Reply-To, CC, BCC,
// Sender and the hidden ones) keeps its addresses and encodes only the display
// names. Lines are folded with CR LF and a blank so that none is longer than 78
// columns.
std::string encode_header_value(std::string_view name, std::string_view value,
                                std::string_view configured_charset);

// The encoded-words for `text` in `charset`, starting at `column` (folded lines
// begin with one blank). The characters of a UTF-8 text are never split.
std::string encoded_words(std::string_view text, std::string_view charset, std::size_t column);
