// The installation sequence: the unpack question, the licence, the directory page, the
// directory tree and both archives behind the progress window, the settings page and the
// finish. It owns the page state for one run and talks to the person installing only
// through an InstallerUi.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installer/installer_ui.h"
#include "installer/progress_dialog.h"

namespace installer {

struct InstallOptions {
  // Where the archives are looked for, ending in "/" (see installer_directory_of).
  std::string installer_directory;
  // Stands in for a cancelled first folder pick: the current working directory.
  std::string fallback_folder;
  ProgressPacing pacing;
  // The start-up version query: nothing on success, else the system's error code (M1).
  std::function<std::optional<unsigned long>()> query_version;
  // At the finish: the lines of the installed velloc's check of the installed settings
  // file, given the program directory; none when empty.
  std::function<std::vector<std::string>(const std::string&)> check_settings;
};

// Options for this process: the directory of /proc/self/exe, the current working
// directory, the given pacing, the uname(2) version query and the installed velloc's
// settings check (given 30 seconds).
InstallOptions default_install_options(ProgressPacing pacing);

// The directory part of the installer's program path, cut just after the last "/"; empty
// when the path has none.
std::string installer_directory_of(std::string_view program_path);

// Runs the whole sequence. True when it reached the finish (settings file, M8, README) with
// every archive installed completely; an archive that failed has its message shown in
// place of M8 and makes the result false.
bool run_install_sequence(InstallerUi& ui, const InstallOptions& options);

}  // namespace installer
