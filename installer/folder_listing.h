// What the terminal folder browser lists and selects: the sub-folders of a folder in display
// order, the way up and down, and the folder a typed path names. Works on native POSIX paths;
// the browser hands the confirmed path to the sequence unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

// The entry that leads to the parent folder; listed first except in the root.
inline constexpr std::string_view kParentEntry = "..";

// The names of the sub-folders of `folder` (symbolic links to folders included, hidden
// folders left out), sorted without regard to case (ties in byte order), with kParentEntry
// in front unless `folder` is the root. An unreadable folder lists only kParentEntry.
std::vector<std::string> list_subfolders(const std::string& folder);

// The folder an entry of the listing of `folder` leads to: the parent for kParentEntry,
// otherwise `folder` joined with `name`. The result is lexically normal, without a trailing
// slash except for the root.
std::string enter_folder(const std::string& folder, const std::string& name);

// The folder a path typed into the browser names: absolute as typed, "~" or "~/..." under
// `home`, anything else relative to `folder`; lexically normal. Nothing for blank text.
std::optional<std::string> typed_folder(const std::string& folder, std::string_view typed,
                                        const std::string& home);

// True when `path` names an existing folder (following symbolic links).
bool is_folder(const std::string& path);

}  // namespace installer
