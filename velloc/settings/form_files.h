// Form profiles kept apart from the settings file: each *.ini file of the folder
// forms.d beside it holds [Form NAME] sections as the settings file does (the Debian
// package's /etc/velloc/forms.d/). A profile of the settings file comes first, then
// those of these files in the order of their names.
#pragma once

#include <string>
#include <vector>

namespace settings {

// The *.ini files (any letter case) of the folder forms.d beside `settings_file`, in
// the order of their names; none when the folder is missing or `settings_file` empty.
std::vector<std::string> form_files_beside(const std::string& settings_file);

}  // namespace settings
