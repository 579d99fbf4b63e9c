// The last step of an installation: the settings file of velloc written into the program
// directory from the answers of the settings page, the temporary directory made sure of,
// then the completion message and the README.
#pragma once

#include <string>
#include <vector>

#include "installer/installer_ui.h"

namespace installer {

// The longest settings file path that is written (260 bytes with the terminator).
inline constexpr std::size_t kMaxSettingsPathChars = 259;

// What became of the settings file: written new, or kept from an earlier installation with
// the lines it lacked added.
struct SettingsOutcome {
  bool kept = false;
  // The "key=value" lines added to a kept file, in the order they were added.
  std::vector<std::string> added;
};

// A new program_directory + "/VELLOC.INI" gets the lines "[Velloc]", "SMTP=<smtp_server>" and
// "DefaultRecipient=<default_recipient>", values as typed; once the file is open, the
// temporary directory is created (one level). An existing one (an upgrade) is kept as it is:
// only SMTP and DefaultRecipient, where its section "Velloc" lacks them, are added with the
// values typed, every other line staying as it was. Every failure is silent; a path longer
// than kMaxSettingsPathChars writes nothing, and so does a symbolic link, a hard-linked file
// or anything but a regular file where the file is to be written.
SettingsOutcome write_settings_file(const std::string& program_directory,
                                    const std::string& smtp_server,
                                    const std::string& default_recipient);

// The line that tells the person installing that the settings file was kept and what was
// added to it.
std::string kept_settings_note(const std::string& program_directory,
                               const SettingsOutcome& outcome);

// The value of TMP, else of TEMP, else "/tmp".
std::string temporary_directory();

// An archive that could not be installed completely, and why when that is known (one line
// that names the file at fault; empty otherwise).
struct FailedArchive {
  std::string archive;
  std::string reason;
};

// Shows M8, or instead of it the failure message for each archive in `failed_archives`, notes
// a kept settings file (kept_settings_note) and each line of `check_report` (the settings
// check), then opens program_directory + "/README.TXT".
void finish_installation(InstallerUi& ui, const std::string& program_directory,
                         const std::vector<FailedArchive>& failed_archives = {},
                         const SettingsOutcome& settings = {},
                         const std::vector<std::string>& check_report = {});

}  // namespace installer
