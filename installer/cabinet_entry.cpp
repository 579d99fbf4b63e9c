#include "installer/cabinet_entry.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/unicode_controls.h"

namespace installer {

namespace {

// Why a character keeps a name from becoming a file name.
enum class CharacterFault { none, control, separator, full_stop, invisible };

struct FaultRange {
  char32_t first, last;
  CharacterFault fault;
};

// Characters that are shown as, or map to, something a path gives a meaning to.
constexpr FaultRange kFaultRanges[] = {
    {0x00AD, 0x00AD, CharacterFault::invisible},  // soft hyphen
    {0x0337, 0x0338, CharacterFault::separator},  // short and long solidus overlay
    {0x180E, 0x180E, CharacterFault::invisible},  // Mongolian vowel separator
    {0x200B, 0x200D, CharacterFault::invisible},  // zero width space, non-joiner, joiner
    {0x2024, 0x2025, CharacterFault::full_stop},  // one and two dot leader
    {0x2044, 0x2044, CharacterFault::separator},  // fraction slash
    {0x2060, 0x2064, CharacterFault::invisible},  // word joiner, invisible operators
    {0x20E5, 0x20E5, CharacterFault::separator},  // reverse solidus overlay
    {0x2215, 0x2216, CharacterFault::separator},  // division slash, set minus
    {0x2571, 0x2572, CharacterFault::separator},  // box drawing diagonals
    {0x29F5, 0x29F5, CharacterFault::separator},  // reverse solidus operator
    {0x29F8, 0x29F9, CharacterFault::separator},  // big solidus, big reverse solidus
    {0xFE52, 0xFE52, CharacterFault::full_stop},  // small full stop
    {0xFE68, 0xFE68, CharacterFault::separator},  // small reverse solidus
    {0xFEFF, 0xFEFF, CharacterFault::invisible},  // zero width no-break space
    {0xFF0E, 0xFF0E, CharacterFault::full_stop},  // fullwidth full stop
    {0xFF0F, 0xFF0F, CharacterFault::separator},  // fullwidth solidus
    {0xFF3C, 0xFF3C, CharacterFault::separator},  // fullwidth reverse solidus
};

CharacterFault character_fault(char32_t c) {
  if (platform::is_control_character(c)) return CharacterFault::control;
  for (const FaultRange& range : kFaultRanges)
    if (c >= range.first && c <= range.last) return range.fault;
  return CharacterFault::none;
}

std::string_view fault_text(CharacterFault fault) {
  switch (fault) {
    case CharacterFault::control:
      return "a control character";
    case CharacterFault::separator:
      return "a character that looks like a folder separator";
    case CharacterFault::full_stop:
      return "a character that stands for a full stop";
    case CharacterFault::invisible:
      return "an invisible character";
    case CharacterFault::none:
      break;
  }
  return "";
}

// The character at `text[at]`: its code point, and length 0 for a byte that does not
// start valid UTF-8. An ISO-8859-1 byte is its own code point.
platform::Utf8Character character_at(std::string_view text, std::size_t at, bool utf8) {
  if (utf8) return platform::first_utf8_character(text.substr(at));
  return {static_cast<unsigned char>(text[at]), 1};
}

bool is_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = platform::first_utf8_character(text.substr(at)).length;
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string formatted(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string code_point_text(char32_t c) { return formatted("U+%04X", c); }

std::string quoted(std::string text) {
  text.insert(text.begin(), '\'');
  text.push_back('\'');
  return text;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
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

std::optional<std::string> stored_name_refusal(std::string_view stored_name, bool utf8) {
  for (std::size_t at = 0; at < stored_name.size();) {
    platform::Utf8Character c = character_at(stored_name, at, utf8);
    CharacterFault fault = c.length == 0 ? CharacterFault::none : character_fault(c.code_point);
    if (c.length == 0 || fault != CharacterFault::none) {
      std::string entry = quoted(shown_name(stored_name, utf8));
      if (c.length == 0) return entry + " has a name that is not valid UTF-8";
      return entry + " has " + code_point_text(c.code_point) + " in its name, " +
             std::string(fault_text(fault));
    }
    at += c.length;
  }
  // A name not flagged as UTF-8 is written as its bytes stand; where they read as UTF-8,
  // that is how every listing on this system shows the file.
  if (!utf8 && is_utf8(stored_name)) return stored_name_refusal(stored_name, true);
  return std::nullopt;
}

std::string shown_name(std::string_view stored_name, bool utf8) {
  std::string shown;
  for (std::size_t at = 0; at < stored_name.size();) {
    platform::Utf8Character c = character_at(stored_name, at, utf8);
    if (c.length == 0) {
      shown += formatted("<0x%02X>", static_cast<unsigned char>(stored_name[at]));
      ++at;
      continue;
    }
    if (character_fault(c.code_point) != CharacterFault::none)
      shown += formatted("<U+%04X>", c.code_point);
    else
      append_utf8(shown, c.code_point);
    at += c.length;
  }
  return shown;
}

bool stored_time_is_sound(int year, int month, int day, int hour, int minute, int second) {
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60;
}

}  // namespace installer
