#include "velloc/mail/mail_encoding.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"
#include "velloc/mail/base64.h"

namespace {

constexpr std::size_t kFoldColumn = 78;
constexpr std::size_t kMaxEncodedWord = 75;
constexpr std::size_t kQuotedLineRoom = 75;  // the soft break "=" makes 76
// The shortest encoded-word ("=?UTF-8?B?" and one group): a run to encode starts
// on a new line when less room is left.
constexpr std::size_t kMinEncodedWord = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::string_view kAddressHeaders[] = {
    "From", "To", "CC", "BCC", "Reply-To", "Sender", "X-Sender", "Hidden-Sender", "Hidden-To"};

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

int continuation_count(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) return 2;
  if (lead >= 0xF0 && lead <= 0xF4) return 3;
  return -1;
}

// Overlong forms, surrogates and code points above U+10FFFF show in the second byte.
bool second_byte_fits(unsigned char lead, unsigned char byte) {
  if (lead == 0xE0) return byte >= 0xA0;
  if (lead == 0xED) return byte <= 0x9F;
  if (lead == 0xF0) return byte >= 0x90;
  if (lead == 0xF4) return byte <= 0x8F;
  return true;
}

bool is_utf8_label(std::string_view charset) {
  return platform::equal_ignoring_case(charset, "UTF-8") ||
         platform::equal_ignoring_case(charset, "UTF8");
}

// How many bytes from `at` go into one word of at most `max_bytes`, never ending
// inside a UTF-8 character.
std::size_t word_bytes(std::string_view text, std::size_t at, std::size_t max_bytes, bool utf8) {
  std::size_t count = std::min(max_bytes, text.size() - at);
  if (!utf8) return count;
  std::size_t cut = count;
  while (cut > 0 && at + cut < text.size() &&
         is_continuation(static_cast<unsigned char>(text[at + cut])))
    --cut;
  return cut > 0 ? cut : count;
}

std::size_t column_after(std::string_view text, std::size_t column) {
  std::size_t line_end = text.rfind('\n');
  return line_end == std::string_view::npos ? column + text.size() : text.size() - line_end - 1;
}

bool is_address_header(std::string_view name) {
  for (std::string_view address_header : kAddressHeaders)
    if (platform::equal_ignoring_case(name, address_header)) return true;
  return false;
}

// The pieces of an address list between commas outside double quotes.
std::vector<std::string_view> address_pieces(std::string_view value) {
  std::vector<std::string_view> pieces;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t at = 0; at <= value.size(); ++at) {
    if (at < value.size() && value[at] == '"') quoted = !quoted;
    if (at == value.size() || (value[at] == ',' && !quoted)) {
      pieces.push_back(platform::trim(value.substr(start, at - start), " \t"));
      start = at + 1;
    }
  }
  return pieces;
}

// One address with its display name encoded; an 8-bit address stays as it is.
std::string encoded_address(std::string_view piece, std::string_view charset, std::size_t column) {
  std::size_t open = piece.find('<');
  if (open == std::string_view::npos || open == 0) return std::string(piece);
  std::string_view display = platform::trim(piece.substr(0, open), " \t");
  if (display.size() >= 2 && display.front() == '"' && display.back() == '"')
    display = display.substr(1, display.size() - 2);
  if (is_7bit(display)) return std::string(piece);
  std::string words = encoded_words(display, charset, column);
  std::string_view address = piece.substr(open);
  bool fits = column_after(words, column) + 1 + address.size() <= kFoldColumn;
  return words.append(fits ? " " : "\r\n ").append(address);
}

// A word of a 7-bit value with the blanks before it.
struct BlankAndWord {
  std::string_view blanks;
  std::string_view word;
};

std::vector<BlankAndWord> words_of(std::string_view value) {
  std::vector<BlankAndWord> words;
  for (std::size_t at = 0; at < value.size();) {
    std::size_t word = std::min(value.find_first_not_of(" \t", at), value.size());
    std::size_t end = std::min(value.find_first_of(" \t", word), value.size());
    words.push_back({value.substr(at, word - at), value.substr(word, end - word)});
    at = end;
  }
  return words;
}

// Folds a 7-bit value at its blanks: a word goes on the current line while it
// fits into 78 columns, else on a new line that begins with its blanks. A word
// that cannot fit into a line of 998 octets even so (or trailing blanks that
// cannot) goes as encoded-words, which fold; one blank before them stays shown,
// the rest is encoded with the word so that decoding gives the text back.
std::string folded_value(std::string_view value, std::string_view charset, std::size_t column) {
  std::string out;
  bool after_encoded = false;
  for (const BlankAndWord& piece : words_of(value)) {
    std::size_t own = piece.blanks.size() + piece.word.size();
    bool can_fold = !piece.blanks.empty() && !piece.word.empty();
    if (can_fold ? own <= kMaxMailLine : column + own <= kMaxMailLine) {
      if (can_fold && column + own > kFoldColumn) {
        out += "\r\n";
        column = 0;
      }
      out.append(piece.blanks).append(piece.word);
      column += own;
      after_encoded = false;
      continue;
    }
    std::string_view shown = after_encoded ? "" : piece.blanks.substr(0, 1);
    std::string text = std::string(piece.blanks.substr(shown.size())).append(piece.word);
    if (after_encoded || (!shown.empty() && column + 1 + kMinEncodedWord > kFoldColumn)) {
      out += "\r\n";
      column = 0;
    }
    if (after_encoded) shown = " ";  // folding white space between words is not shown
    out += shown;
    std::string words = encoded_words(text, charset, column + shown.size());
    column = column_after(words, column + shown.size());
    out += words;
    after_encoded = true;
  }
  return out;
}

std::string encoded_address_list(std::string_view value, std::string_view charset,
                                 std::size_t column) {
  std::string list;
  for (std::string_view piece : address_pieces(value)) {
    if (piece.empty()) continue;
    if (!list.empty()) {
      list += ',';
      column += 1;
      bool fits = column + 1 + std::min(piece.size(), kMaxEncodedWord) <= kFoldColumn;
      list += fits ? " " : "\r\n ";
      column = fits ? column + 1 : 1;
    }
    std::string encoded = encoded_address(piece, charset, column);
    column = column_after(encoded, column);
    list += encoded;
  }
  return list;
}

}  // namespace

bool is_7bit(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void TextScan::count_line(char c) {
  if (c == '\n') {
    longest_line_ = std::max(longest_line_, line_length_);
    line_length_ = 0;
  } else if (c != '\r') {
    line_length_ += (line_length_ == 0 && c == '.') ? 2 : 1;
  }
}

void TextScan::add(std::string_view piece) {
  for (char c : piece) {
    count_line(c);
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      if (continuation_bytes_ > 0) valid_utf8_ = false;
      continuation_bytes_ = 0;
      continue;
    }
    seven_bit_ = false;
    if (continuation_bytes_ > 0) {
      if (!is_continuation(byte) || (lead_ != 0 && !second_byte_fits(lead_, byte)))
        valid_utf8_ = false;
      lead_ = 0;
      --continuation_bytes_;
      continue;
    }
    int expected = continuation_count(byte);
    if (expected < 0) valid_utf8_ = false;
    continuation_bytes_ = std::max(expected, 0);
    lead_ = byte;
  }
}

std::string charset_label(const TextScan& scan, std::string_view configured) {
  if (!configured.empty()) return std::string(configured);
  return scan.valid_utf8() ? "UTF-8" : "windows-1252";
}

std::string charset_label(std::string_view text, std::string_view configured) {
  TextScan scan;
  scan.add(text);
  return charset_label(scan, configured);
}

void QuotedPrintableEncoder::emit(std::string_view token, std::string& out) {
  if (column_ + token.size() > kQuotedLineRoom) {
    out += "=\r\n";
    column_ = 0;
  }
  if (column_ == 0 && token == ".") token = "=2E";
  out += token;
  column_ += token.size();
}

void QuotedPrintableEncoder::add(std::string_view piece, std::string& out) {
  for (char c : piece) {
    if (c == '\r') continue;
    if (pending_blank_ != 0 && c != '\n') emit(std::string_view(&pending_blank_, 1), out);
    if (c == '\n') {
      if (pending_blank_ != 0) emit(pending_blank_ == ' ' ? "=20" : "=09", out);
      pending_blank_ = 0;
      out += "\r\n";
      column_ = 0;
      continue;
    }
    pending_blank_ = 0;
    auto byte = static_cast<unsigned char>(c);
    if (c == ' ' || c == '\t') {
      pending_blank_ = c;
    } else if (byte >= 33 && byte <= 126 && c != '=') {
      emit(std::string_view(&c, 1), out);
    } else {
      const char escaped[3] = {'=', kHexDigits[byte >> 4], kHexDigits[byte & 15]};
      emit(std::string_view(escaped, 3), out);
    }
  }
}

void QuotedPrintableEncoder::finish(std::string& out) {
  if (pending_blank_ != 0) emit(pending_blank_ == ' ' ? "=20" : "=09", out);
  pending_blank_ = 0;
}

std::string encode_quoted_printable(std::string_view text) {
  QuotedPrintableEncoder encoder;
  std::string out;
  encoder.add(text, out);
  encoder.finish(out);
  return out;
}

std::string encoded_words(std::string_view text, std::string_view charset, std::size_t column) {
  const std::string prefix = "=?" + std::string(charset) + "?B?";
  const std::size_t overhead = prefix.size() + 2;
  const bool utf8 = is_utf8_label(charset);
  std::string words;
  for (std::size_t at = 0; at < text.size();) {
    if (at > 0) {
      words += "\r\n ";
      column = 1;
    }
    std::size_t room = std::min(kMaxEncodedWord, kFoldColumn - std::min(column, kFoldColumn));
    std::size_t max_bytes = room > overhead + 4 ? (room - overhead) / 4 * 3 : 3;
    std::size_t count = word_bytes(text, at, max_bytes, utf8);
    words += prefix + base64_text(text.substr(at, count)) + "?=";
    at += count;
  }
  return words;
}

std::string encode_header_value(std::string_view name, std::string_view value,
                                std::string_view configured_charset) {
  std::size_t column = name.size() + 2;
  std::string charset = charset_label(value, configured_charset);
  if (is_7bit(value))
    return column + value.size() <= kMaxMailLine ? std::string(value)
                                                 : folded_value(value, charset, column);
  if (is_address_header(name)) return encoded_address_list(value, charset, column);
  return encoded_words(value, charset, column);
}
