#include "velloc/mail/message_identity.h"

#include <sys/random.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::size_t kIdBytes = 16;

// Random bytes from the kernel; should it have none to give, a clock-seeded
// generator still keeps ids of one host apart.
void fill_random(unsigned char* bytes, std::size_t count) {
  if (getrandom(bytes, count, 0) == static_cast<ssize_t>(count)) return;
  std::mt19937_64 generator(
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  for (std::size_t at = 0; at < count; ++at) bytes[at] = static_cast<unsigned char>(generator());
}

}  // namespace

std::string mail_date(std::time_t when) {
  std::tm local = {};
  localtime_r(&when, &local);
  long offset_minutes = local.tm_gmtoff / 60;
  char sign = offset_minutes < 0 ? '-' : '+';
  offset_minutes = std::labs(offset_minutes);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign,
                offset_minutes / 60, offset_minutes % 60);
  return text;
}

std::string new_message_id(std::string_view helo_name) {
  unsigned char bytes[kIdBytes];
  fill_random(bytes, sizeof bytes);
  std::string id = "<";
  char hex[3];
  for (unsigned char byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    id += hex;
  }
  id += '@';
  id += helo_name.empty() ? std::string_view("localhost") : helo_name;
  return id + ">";
}
