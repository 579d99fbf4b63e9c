#include "installer/folder_listing.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace installer {

namespace {

namespace fs = std::filesystem;

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

bool display_order(const std::string& a, const std::string& b) {
  std::string la = lower(a);
  std::string lb = lower(b);
  return la != lb ? la < lb : a < b;
}

std::string normal(const fs::path& path) {
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text.empty() ? "." : text;
}

}  // namespace

std::vector<std::string> list_subfolders(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    std::error_code kind_error;
    if (name.empty() || name[0] == '.' || !it->is_directory(kind_error)) continue;
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), display_order);
  if (normal(folder) != "/") names.insert(names.begin(), std::string(kParentEntry));
  return names;
}

std::string enter_folder(const std::string& folder, const std::string& name) {
  if (name == kParentEntry) return normal(fs::path(normal(folder)).parent_path());
  return normal(fs::path(folder) / name);
}

std::optional<std::string> typed_folder(const std::string& folder, std::string_view typed,
                                        const std::string& home) {
  std::string text(typed);
  if (text.find_first_not_of(" \t") == std::string::npos) return std::nullopt;
  if (text == "~" || text.rfind("~/", 0) == 0) {
    return normal(fs::path(home) / text.substr(std::min<std::size_t>(text.size(), 2)));
  }
  if (text[0] == '/') return normal(text);
  return normal(fs::path(folder) / text);
}

bool is_folder(const std::string& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

}  // namespace installer
