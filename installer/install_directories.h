// Creation of the installation directories: the chosen program and samples directories,
// which ask before an existing one is used (M5) and report other failures (M6), and the
// template directories inside the program directory.
#pragma once

#include <string>

#include "installer/installer_ui.h"

namespace installer {

enum class DirectoryOutcome { created, accepted, declined, failed };

// Creates `directory` (its parent must exist). An existing entry of that name asks M5:
// Yes accepts it, No declines. Any other failure, and a symbolic link of that name (ELOOP),
// shows M6 with the directory as given and errno as the error code.
DirectoryOutcome make_install_directory(InstallerUi& ui, const std::string& directory);

// Creates the template directories inside `program_directory` in order; existing ones are
// accepted silently. The first other failure shows M6 with the full path and stops; a
// symbolic link in the program directory or in place of a template directory is such a
// failure (ELOOP). True when all of them exist.
bool make_template_directories(InstallerUi& ui, const std::string& program_directory);

// The program directory step: make_install_directory, then the template directories.
// True when the installation may go on into it.
bool prepare_program_directory(InstallerUi& ui, const std::string& program_directory);

// The samples directory step: make_install_directory only.
bool prepare_samples_directory(InstallerUi& ui, const std::string& samples_directory);

}  // namespace installer
