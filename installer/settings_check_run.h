// The last step of an installation: the installed velloc checks the installed settings
// file (velloc --check --settings FILE) and its report is shown with the installer's
// other notes. The report never changes the installer's exit status.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace installer {

// The lines `program_directory`/velloc --check --settings `program_directory`/VELLOC.INI
// writes (standard output and error), after a line naming the command. A program that
// cannot be started, or is still running after `time_limit` (it is then killed), gives a
// line that says so instead of a report. Nothing when no program was installed.
std::vector<std::string> check_installed_settings(const std::string& program_directory,
                                                  std::chrono::milliseconds time_limit);

}  // namespace installer
