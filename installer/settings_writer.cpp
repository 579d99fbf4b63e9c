#include "installer/settings_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "installer/messages.h"
#include "installer/no_follow.h"
#include "platform/ini_file.h"
#include "platform/path_map.h"

namespace installer {

namespace {

constexpr mode_t kSettingsFileMode = 0644;
constexpr mode_t kTemporaryDirectoryMode = 0755;

// Only a regular file of the program directory itself is written: never a link, and never
// through one.
int open_settings_file(const std::string& program_directory, const std::string& path) {
  std::string folder = platform::native_path(program_directory);
  std::optional<std::string> below = path_below(folder, platform::native_path_for_create(path));
  return below ? open_output_below(folder, *below, kSettingsFileMode) : -1;
}

// The settings file of an earlier installation, as it stands on disk: a regular file of
// its own, never a link.
std::optional<std::string> existing_settings_file(const std::string& program_directory,
                                                  const std::string& path) {
  std::string native = platform::native_path_for_create(path);
  struct stat info;
  if (lstat(native.c_str(), &info) != 0) return std::nullopt;
  std::string folder = platform::native_path(program_directory);
  if (!path_below(folder, native)) return std::nullopt;
  return native;
}

bool sole_regular_file(const std::string& native) {
  struct stat info;
  return lstat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// Adds the keys the settings page asks for that the file lacks, keeping every other line.
SettingsOutcome keep_settings_file(const std::string& native,
                                   const std::vector<std::pair<std::string, std::string>>& keys) {
  if (!sole_regular_file(native)) return {};
  mkdir(temporary_directory().c_str(), kTemporaryDirectoryMode);
  SettingsOutcome outcome;
  outcome.kept = true;
  for (const auto& [key, value] : keys) {
    if (platform::find_ini_value(native, "Velloc", key)) continue;
    if (platform::write_ini_string(native, "Velloc", key, value))
      outcome.added.push_back(key + "=" + value);
  }
  return outcome;
}

void write_text(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace

std::string temporary_directory() {
  for (const char* name : {"TMP", "TEMP"}) {
    if (const char* value = std::getenv(name)) return value;
  }
  return "/tmp";
}

SettingsOutcome write_settings_file(const std::string& program_directory,
                                    const std::string& smtp_server,
                                    const std::string& default_recipient) {
  std::string path = program_directory + "/VELLOC.INI";
  if (path.size() > kMaxSettingsPathChars) return {};
  if (std::optional<std::string> existing = existing_settings_file(program_directory, path))
    return keep_settings_file(*existing,
                              {{"SMTP", smtp_server}, {"DefaultRecipient", default_recipient}});
  int fd = open_settings_file(program_directory, path);
  if (fd < 0) return {};
  mkdir(temporary_directory().c_str(), kTemporaryDirectoryMode);
  write_text(fd,
             "[Velloc]\nSMTP=" + smtp_server + "\nDefaultRecipient=" + default_recipient + "\n");
  close(fd);
  return {};
}

std::string kept_settings_note(const std::string& program_directory,
                               const SettingsOutcome& outcome) {
  std::string note = "Settings file '" + program_directory + "/VELLOC.INI' kept as it was";
  if (outcome.added.empty()) return note + "; nothing added.";
  note += "; added:";
  for (const std::string& line : outcome.added) note += " '" + line + "'";
  return note + ".";
}

void finish_installation(InstallerUi& ui, const std::string& program_directory,
                         const std::vector<FailedArchive>& failed_archives,
                         const SettingsOutcome& settings,
                         const std::vector<std::string>& check_report) {
  if (failed_archives.empty()) ui.show_message(installation_complete_message());
  for (const FailedArchive& failed : failed_archives)
    ui.show_message(installation_failed_message(failed.archive, failed.reason));
  if (settings.kept) ui.note_reason(kept_settings_note(program_directory, settings));
  for (const std::string& line : check_report) ui.note_reason(line);
  ui.open_readme(program_directory + "/README.TXT");
}

}  // namespace installer
