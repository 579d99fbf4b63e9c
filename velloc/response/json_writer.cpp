#include "velloc/response/json_writer.h"

#include <cstdint>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kHexDigits[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at the start of `text` (RFC 3629:
// no overlong forms, no surrogates, nothing above U+10FFFF); 0 when there is none.
std::size_t sequence_length(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

void append_unicode_escape(std::string& out, std::uint32_t code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(code >> shift) & 0xF];
}

// The escape of an ASCII character, or nullptr when it is written as it is.
const char* ascii_escape(char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return nullptr;
  }
}

void append_ascii(std::string& out, char c) {
  if (const char* escape = ascii_escape(c)) {
    out += escape;
  } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '<' || c == '>' ||
             c == '&') {
    append_unicode_escape(out, static_cast<unsigned char>(c));
  } else {
    out += c;
  }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t length = sequence_length(text.substr(i));
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    std::string_view sequence = text.substr(i, length);
    i += length;
    if (length == 1)
      append_ascii(out, sequence[0]);
    else if (sequence == "\xE2\x80\xA8" || sequence == "\xE2\x80\xA9")
      append_unicode_escape(out, sequence[2] == '\xA8' ? 0x2028 : 0x2029);
    else
      out += sequence;
  }
  out += '"';
}

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = sequence_length(text.substr(i));
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else {
      out += text.substr(i, length);
      i += length;
    }
  }
  return out;
}

JsonObject& JsonObject::add_string(std::string_view name, std::string_view value) {
  start_member(name);
  append_json_string(members_, value);
  return *this;
}

JsonObject& JsonObject::add_bool(std::string_view name, bool value) {
  return add_json(name, value ? "true" : "false");
}

JsonObject& JsonObject::add_json(std::string_view name, std::string_view json) {
  start_member(name);
  members_ += json;
  return *this;
}

void JsonObject::start_member(std::string_view name) {
  if (members_.size() > 1) members_ += ", ";
  append_json_string(members_, name);
  members_ += ": ";
}
