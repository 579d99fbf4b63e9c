#include "platform/temp_file.h"

#include <unistd.h>

#include <vector>

#include "platform/path_map.h"

namespace platform {

namespace {

constexpr char kSuffix[] = ".tmp";

bool ends_with_separator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

}  // namespace

std::optional<std::string> make_temp_file(const std::string& directory, const char* prefix) {
  std::string native_directory = directory.empty() ? "" : native_path(directory);
  if (!native_directory.empty() && !ends_with_separator(native_directory)) native_directory += '/';
  std::string pattern = native_directory + prefix + "XXXXXX" + kSuffix;
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int fd = mkstemps(buffer.data(), sizeof kSuffix - 1);
  if (fd < 0) return std::nullopt;
  close(fd);
  std::string name(buffer.data() + native_directory.size());
  if (directory.empty() || ends_with_separator(directory)) return directory + name;
  return directory + "/" + name;
}

}  // namespace platform
