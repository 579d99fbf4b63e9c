// The folder browser behind the "Choose.." buttons: asks the InstallerUi for a folder and
// keeps the pick in a buffer owned by the caller, so that cancelling after an earlier pick
// returns that earlier folder again.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "installer/installer_ui.h"

namespace installer {

// Folder buffers hold at most this many characters of path (260 with the terminator).
inline constexpr std::size_t kFolderBufferChars = 259;
inline constexpr std::string_view kDefaultBrowsePrompt =
    "Please choose a Folder for Velloc Pro DB:";

// Shows the browser with `prompt` (the default prompt when empty). A confirmed folder
// replaces the buffer's text; a cancel, or a folder longer than a folder buffer holds
// (kFolderBufferChars), leaves the buffer as it was. Returns the buffer's text unless it is
// empty.
std::optional<std::string> browse_for_folder(InstallerUi& ui, std::string& buffer,
                                             std::string_view prompt = {});

}  // namespace installer
