#include "installer/folder_browser.h"

namespace installer {

std::optional<std::string> browse_for_folder(InstallerUi& ui, std::string& buffer,
                                             std::string_view prompt) {
  std::optional<std::string> picked =
      ui.browse_for_folder(std::string(prompt.empty() ? kDefaultBrowsePrompt : prompt));
  if (picked && picked->size() <= kFolderBufferChars) buffer = *picked;
  if (buffer.empty()) return std::nullopt;
  return buffer;
}

}  // namespace installer
