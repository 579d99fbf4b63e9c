#include "platform/text.h"

namespace platform {

namespace {

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::vector<std::string> split_at(std::string_view text, std::string_view separators) {
  std::vector<std::string> pieces;
  std::size_t start = text.find_first_not_of(separators);
  while (start != std::string_view::npos) {
    std::size_t end = text.find_first_of(separators, start);
    pieces.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    start = end == std::string_view::npos ? end : text.find_first_not_of(separators, end);
  }
  return pieces;
}

std::string_view trim(std::string_view text, std::string_view characters) {
  std::size_t start = text.find_first_not_of(characters);
  if (start == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(characters);
  return text.substr(start, end - start + 1);
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  return true;
}

std::string percent_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return encoded;
}

}  // namespace platform
