#include "installer/cabinet_entry.h"

#include <algorithm>

namespace installer {

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

}  // namespace installer
