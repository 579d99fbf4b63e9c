#include "installer/settings_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "installer/messages.h"
#include "installer/no_follow.h"
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

void write_settings_file(const std::string& program_directory, const std::string& smtp_server,
                         const std::string& default_recipient) {
  std::string path = program_directory + "/VELLOC.INI";
  if (path.size() > kMaxSettingsPathChars) return;
  int fd = open_settings_file(program_directory, path);
  if (fd < 0) return;
  mkdir(temporary_directory().c_str(), kTemporaryDirectoryMode);
  write_text(fd,
             "[Velloc]\nSMTP=" + smtp_server + "\nDefaultRecipient=" + default_recipient + "\n");
  close(fd);
}

void finish_installation(InstallerUi& ui, const std::string& program_directory,
                         const std::vector<FailedArchive>& failed_archives) {
  if (failed_archives.empty()) ui.show_message(installation_complete_message());
  for (const FailedArchive& failed : failed_archives)
    ui.show_message(installation_failed_message(failed.archive, failed.reason));
  ui.open_readme(program_directory + "/README.TXT");
}

}  // namespace installer
