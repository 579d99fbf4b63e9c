#include "platform/path_map.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace platform {

namespace {

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string join(const std::string& directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  if (directory.back() == '/') return directory + std::string(name);
  return directory + "/" + std::string(name);
}

// The entry of `directory` named `name`: the exact one when it exists, otherwise the
// first in byte order that matches without regard to case.
std::optional<std::string> match_entry(const std::string& directory, std::string_view name) {
  std::string exact = join(directory, name);
  if (exists(exact)) return std::string(name);
  DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> best;
  while (dirent* entry = readdir(dir)) {
    std::string_view candidate = entry->d_name;
    if (equal_ignoring_case(candidate, name) && (!best || candidate < *best))
      best = std::string(candidate);
  }
  closedir(dir);
  return best;
}

std::vector<std::string_view> split_components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string with_slashes(std::string_view composed) {
  std::string path(composed);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// Resolves every component without regard to case, keeping the separators as they
// stand; components that match nothing are kept as written.
std::string resolve_components(const std::string& path) {
  std::string resolved;
  bool matching = true;
  std::vector<std::string_view> parts = split_components(path);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string_view part = parts[i];
    if (i > 0) resolved += '/';
    if (part.empty() || part == "." || part == ".." || !matching) {
      resolved += part;
      continue;
    }
    std::optional<std::string> entry =
        match_entry(resolved.empty() && i > 0 ? "/" : resolved, part);
    if (!entry) {
      matching = false;
      resolved += part;
    } else {
      resolved += *entry;
    }
  }
  return resolved;
}

}  // namespace

std::string native_path(std::string_view composed) {
  std::string path = with_slashes(composed);
  if (path.empty() || exists(path)) return path;
  return resolve_components(path);
}

std::string native_path_for_create(std::string_view composed) {
  std::string path = with_slashes(composed);
  if (path.empty() || exists(path)) return path;
  std::size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : native_path(path.substr(0, slash));
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string prefix = slash == std::string::npos ? "" : directory + "/";
  if (name.empty()) return prefix;
  std::optional<std::string> entry = match_entry(slash == 0 ? "/" : directory, name);
  return prefix + (entry ? *entry : name);
}

std::string executable_directory() {
  std::vector<char> buffer(4096);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return "./";
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

}  // namespace platform
