#include "velloc/archive/archive_text.h"

#include <cstdio>

namespace {

constexpr std::int64_t kMsPerSecond = 1000;
constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day, hour, minute, second, millisecond;
};

Civil civil_from_ms(std::int64_t ms) {
  std::int64_t seconds = ms / kMsPerSecond;
  std::int64_t rest = ms % kMsPerSecond;
  if (rest < 0) rest += kMsPerSecond, --seconds;
  std::int64_t days = seconds / kSecondsPerDay;
  std::int64_t in_day = seconds % kSecondsPerDay;
  if (in_day < 0) in_day += kSecondsPerDay, --days;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2);
  return {year,
          month,
          day,
          static_cast<unsigned>(in_day / 3600),
          static_cast<unsigned>(in_day / 60 % 60),
          static_cast<unsigned>(in_day % 60),
          static_cast<unsigned>(rest)};
}

// Reads exactly `count` digits at `*at`.
bool digits(std::string_view text, std::size_t* at, std::size_t count, unsigned* value) {
  if (*at + count > text.size()) return false;
  *value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char c = text[*at + i];
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<unsigned>(c - '0');
  }
  *at += count;
  return true;
}

bool literal(std::string_view text, std::size_t* at, char expected) {
  if (*at >= text.size() || text[*at] != expected) return false;
  ++*at;
  return true;
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "Z", "+HH:MM" or "-HH:MM" at the end; the offset east of UTC in seconds.
bool zone(std::string_view text, std::size_t* at, std::int64_t* offset) {
  *offset = 0;
  if (*at == text.size()) return true;
  if (text[*at] == 'Z' || text[*at] == 'z') return ++*at == text.size();
  char sign = text[*at];
  if (sign != '+' && sign != '-') return false;
  ++*at;
  unsigned hours = 0, minutes = 0;
  if (!digits(text, at, 2, &hours) || !literal(text, at, ':') || !digits(text, at, 2, &minutes) ||
      hours > 23 || minutes > 59 || *at != text.size())
    return false;
  *offset = (sign == '+' ? 1 : -1) * static_cast<std::int64_t>(hours * 3600 + minutes * 60);
  return true;
}

bool address_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view(".!#$%&'*+/=?^_`{|}~-@").find(c) != std::string_view::npos;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_at(std::string_view value, std::size_t at, std::string_view address) {
  for (std::size_t i = 0; i < address.size(); ++i)
    if (lower(value[at + i]) != lower(address[i])) return false;
  return true;
}

}  // namespace

std::string make_archive_id(std::int64_t milliseconds, std::uint32_t random) {
  Civil t = civil_from_ms(milliseconds);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld%02u%02u%02u%02u%02u%03u-%08x",
                static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute, t.second,
                t.millisecond, random);
  return text;
}

std::string iso_time(std::int64_t milliseconds) {
  Civil t = civil_from_ms(milliseconds);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::optional<std::int64_t> parse_iso_time(std::string_view text, bool day_end) {
  std::size_t at = 0;
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, fraction = 0;
  if (!digits(text, &at, 4, &year) || !literal(text, &at, '-') || !digits(text, &at, 2, &month) ||
      !literal(text, &at, '-') || !digits(text, &at, 2, &day) || month < 1 || month > 12 ||
      day < 1 || day > days_in_month(year, month))
    return std::nullopt;
  std::int64_t days = days_from_civil(year, month, day);
  if (at == text.size()) return (days + (day_end ? 1 : 0)) * kSecondsPerDay * kMsPerSecond;
  if (text[at] != 'T' && text[at] != 't' && text[at] != ' ') return std::nullopt;
  ++at;
  if (!digits(text, &at, 2, &hour) || !literal(text, &at, ':') || !digits(text, &at, 2, &minute) ||
      hour > 23 || minute > 59)
    return std::nullopt;
  if (literal(text, &at, ':') && (!digits(text, &at, 2, &second) || second > 59))
    return std::nullopt;
  if (literal(text, &at, '.') && !digits(text, &at, 3, &fraction)) return std::nullopt;
  std::int64_t offset = 0;
  if (!zone(text, &at, &offset)) return std::nullopt;
  std::int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second - offset;
  return seconds * kMsPerSecond + fraction;
}

bool holds_address(std::string_view value, std::string_view address) {
  if (address.empty() || address.size() > value.size()) return false;
  for (std::size_t at = 0; at + address.size() <= value.size(); ++at) {
    if (!same_at(value, at, address)) continue;
    bool starts = at == 0 || !address_character(value[at - 1]);
    std::size_t end = at + address.size();
    // A sentence's full stop after the address still ends it.
    bool ends =
        end == value.size() || !address_character(value[end]) ||
        (value[end] == '.' && (end + 1 == value.size() || !address_character(value[end + 1])));
    if (starts && ends) return true;
  }
  return false;
}

std::string_view shown_status(std::string_view status) {
  return status == "awaiting" ? "awaiting confirmation" : status;
}
