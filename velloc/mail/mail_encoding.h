// The encodings that let 8-bit text travel in mail: the choice of a character set
// label, quoted-printable bodies (streamed, every line under 998 octets, no line
// beginning with ".") and RFC 2047 encoded-words for header values, folded at 78
// columns. Pure functions and one streaming encoder; nothing here does I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True when every byte is below 128.
bool is_7bit(std::string_view text);

// Follows a byte stream given in pieces and says whether it is all 7-bit and
// whether it is valid UTF-8.
class TextScan {
 public:
  void add(std::string_view piece);
  bool seven_bit() const { return seven_bit_; }
  bool valid_utf8() const { return valid_utf8_ && continuation_bytes_ == 0; }

 private:
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

// A header value as it goes on the wire after "<name>: ". 7-bit values come back
// unchanged. Otherwise an unstructured value (Subject and any other name) becomes
// encoded-words; an address list (From, To, Reply-To, CC, BCC, Sender and the
// hidden ones) keeps its addresses and encodes only the display names. Lines are
// folded with CR LF and a blank so that none is longer than 78 columns.
std::string encode_header_value(std::string_view name, std::string_view value,
                                std::string_view configured_charset);

// The encoded-words for `text` in `charset`, starting at `column` (folded lines
// begin with one blank). The characters of a UTF-8 text are never split.
std::string encoded_words(std::string_view text, std::string_view charset, std::size_t column);
