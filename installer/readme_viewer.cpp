#include "installer/readme_viewer.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <sstream>

extern char** environ;

namespace installer {

namespace {

std::vector<std::string> split_blanks(const std::string& text) {
  std::istringstream words(text);
  std::vector<std::string> parts;
  for (std::string word; words >> word;) parts.push_back(word);
  return parts;
}

}  // namespace

std::vector<std::string> readme_viewer_command(const char* visual, const char* editor,
                                               const std::string& readme_path) {
  std::vector<std::string> command;
  for (const char* setting : {visual, editor}) {
    if (setting != nullptr) command = split_blanks(setting);
    if (!command.empty()) break;
  }
  if (command.empty()) command.push_back("sensible-pager");
  command.push_back(readme_path);
  return command;
}

void run_readme_viewer(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace installer
