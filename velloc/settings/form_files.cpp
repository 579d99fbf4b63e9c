#include "velloc/settings/form_files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/text.h"

namespace settings {

std::vector<std::string> form_files_beside(const std::string& settings_file) {
  std::vector<std::string> files;
  if (settings_file.empty()) return files;
  std::error_code error;
  std::filesystem::path folder = std::filesystem::path(settings_file).parent_path() / "forms.d";
  std::filesystem::directory_iterator entries(folder, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::filesystem::path& path = entries->path();
    std::string name = path.filename().string();
    if (name.size() > 4 && platform::equal_ignoring_case(name.substr(name.size() - 4), ".ini") &&
        entries->is_regular_file(error))
      files.push_back(path.string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace settings
