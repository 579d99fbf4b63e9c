#include "velloc/mail/base64.h"

#include <algorithm>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string encode_base64_group(const unsigned char* bytes, std::size_t count) {
  std::string group(4, '=');
  append_base64_group(bytes, count, group.data());
  return group;
}

void append_base64_group(const unsigned char* bytes, std::size_t count, char* out) {
  unsigned value = bytes[0] << 16;
  if (count > 1) value |= bytes[1] << 8;
  if (count > 2) value |= bytes[2];
  out[0] = kAlphabet[(value >> 18) & 63];
  out[1] = kAlphabet[(value >> 12) & 63];
  out[2] = count > 1 ? kAlphabet[(value >> 6) & 63] : '=';
  out[3] = count > 2 ? kAlphabet[value & 63] : '=';
}

std::string base64_text(std::string_view bytes) {
  std::string text;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size(); at += 3)
    text += encode_base64_group(data + at, std::min<std::size_t>(3, bytes.size() - at));
  return text;
}
