#include "installer/cabinet_entry.h"

#include <algorithm>
#include <cstdint>

namespace installer {

namespace {

constexpr char32_t kNotDecoded = 0xFFFFFFFF;

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point that starts at `text[at]` and its length in `length`; kNotDecoded for an
// invalid, overlong, surrogate or out-of-range sequence.
char32_t decode_utf8(std::string_view text, std::size_t at, std::size_t& length) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return kNotDecoded;
  if (length == 1) return lead;
  char32_t value = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[at + i]);
    if (!continuation(byte)) return kNotDecoded;
    value = (value << 6) | (byte & 0x3F);
  }
  constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return kNotDecoded;
  return value;
}

bool control_character(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

int days_in_month(int year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<std::string> relative_output_path(std::string_view stored_name) {
  std::string path(stored_name);
  std::replace(path.begin(), path.end(), '\\', '/');
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    std::string_view part = std::string_view(path).substr(start, slash - start);
    if (part.empty() || part == "..") return std::nullopt;
    if (slash == std::string::npos) return path;
    start = slash + 1;
  }
}

std::optional<std::time_t> stored_local_time(int year, int month, int day, int hour, int minute,
                                             int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  std::time_t time = std::mktime(&local);
  if (time == static_cast<std::time_t>(-1)) return std::nullopt;
  return time;
}

bool stored_name_is_sound(std::string_view stored_name, bool utf8) {
  std::size_t length = 1;
  for (std::size_t at = 0; at < stored_name.size(); at += length) {
    char32_t c =
        utf8 ? decode_utf8(stored_name, at, length) : static_cast<unsigned char>(stored_name[at]);
    if (c == kNotDecoded || control_character(c)) return false;
  }
  return true;
}

bool stored_time_is_sound(int year, int month, int day, int hour, int minute, int second) {
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
}

}  // namespace installer
