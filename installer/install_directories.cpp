#include "installer/install_directories.h"

#include <sys/stat.h>

#include <cerrno>

#include "installer/messages.h"
#include "installer/no_follow.h"
#include "platform/path_map.h"

namespace installer {

namespace {

constexpr mode_t kDirectoryMode = 0755;

// Creates one directory; an entry that matches the name without regard to case counts as
// existing, unless it is a symbolic link. Returns 0 or the errno of the failure.
int create_directory(const std::string& directory) {
  std::string native = platform::native_path_for_create(directory);
  if (mkdir(native.c_str(), kDirectoryMode) == 0) return 0;
  int error = errno;
  return error == EEXIST && is_symbolic_link(native) ? ELOOP : error;
}

// Creates a directory inside the program directory, entering no symbolic link on the way.
int create_directory_inside(const std::string& program_directory, const std::string& directory) {
  std::string folder = platform::native_path(program_directory);
  std::optional<std::string> below =
      path_below(folder, platform::native_path_for_create(directory));
  return below ? make_directory_below(folder, *below, kDirectoryMode) : ENOENT;
}

// Creates the folders above `directory` that are missing, as `mkdir -p` would; a
// failure among them shows when the directory itself cannot be made.
void create_parent_directories(const std::string& directory) {
  for (std::size_t end = directory.find_first_of("/\\", 1); end != std::string::npos;
       end = directory.find_first_of("/\\", end + 1))
    create_directory(directory.substr(0, end));
}

bool may_continue(DirectoryOutcome outcome) {
  return outcome == DirectoryOutcome::created || outcome == DirectoryOutcome::accepted;
}

}  // namespace

DirectoryOutcome make_install_directory(InstallerUi& ui, const std::string& directory) {
  int error = create_directory(directory);
  if (error == ENOENT && !directory.empty()) {
    create_parent_directories(directory);
    error = create_directory(directory);
  }
  if (error == 0) return DirectoryOutcome::created;
  if (error == EEXIST) {
    return ui.show_message(directory_exists_question(directory)) ? DirectoryOutcome::accepted
                                                                 : DirectoryOutcome::declined;
  }
  ui.show_message(directory_error_message(directory, error));
  return DirectoryOutcome::failed;
}

bool make_template_directories(InstallerUi& ui, const std::string& program_directory) {
  for (std::string_view name : kTemplateDirectories) {
    std::string path = program_directory + "/" + std::string(name);
    int error = create_directory_inside(program_directory, path);
    if (error != 0 && error != EEXIST) {
      ui.show_message(directory_error_message(path, error));
      return false;
    }
  }
  return true;
}

bool prepare_program_directory(InstallerUi& ui, const std::string& program_directory) {
  return may_continue(make_install_directory(ui, program_directory)) &&
         make_template_directories(ui, program_directory);
}

bool prepare_samples_directory(InstallerUi& ui, const std::string& samples_directory) {
  return may_continue(make_install_directory(ui, samples_directory));
}

}  // namespace installer
