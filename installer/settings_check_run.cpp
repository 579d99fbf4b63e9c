#include "installer/settings_check_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/path_map.h"

extern char** environ;

namespace installer {

namespace {

// More than any report of a settings file; the rest is read and dropped.
constexpr std::size_t kMaxReport = 64 * 1024;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Reads `fd` until its end or `deadline`; false when the deadline came first.
bool read_until(int fd, std::chrono::steady_clock::time_point deadline, std::string* text) {
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd waiting{fd, POLLIN, 0};
    int ready = poll(&waiting, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready == 0 ? false : true;
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    if (text->size() < kMaxReport) text->append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

std::vector<std::string> check_installed_settings(const std::string& program_directory,
                                                  std::chrono::milliseconds time_limit) {
  std::string program = program_directory + "/velloc";
  std::string settings = program_directory + "/VELLOC.INI";
  // An installation without the program (archives of other contents) has nothing to
  // check with.
  if (access(platform::native_path(program).c_str(), F_OK) != 0) return {};
  std::vector<std::string> lines = {"Checking the settings: " + program + " --check --settings " +
                                    settings};
  std::string native_program = platform::native_path(program);
  std::string native_settings = platform::native_path(settings);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    lines.push_back("The check could not be started: " + std::string(std::strerror(errno)));
    return lines;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  std::string check = "--check", option = "--settings";
  char* argv[] = {native_program.data(), check.data(), option.data(), native_settings.data(),
                  nullptr};
  pid_t pid = 0;
  int error = posix_spawn(&pid, native_program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (error != 0) {
    close(pipe_fds[0]);
    lines.push_back("The check could not be started: " + std::string(std::strerror(error)));
    return lines;
  }
  std::string report;
  auto deadline = std::chrono::steady_clock::now() + time_limit;
  bool ended = read_until(pipe_fds[0], deadline, &report);
  close(pipe_fds[0]);
  int status = 0;
  // One that closed its output may still be running: it has until the deadline.
  while (ended && waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline)
      ended = false;
    else
      usleep(10000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  for (std::string& line : lines_of(report)) lines.push_back(std::move(line));
  if (!ended)
    lines.push_back("The check did not end in time and was stopped.");
  else if (WIFSIGNALED(status))
    lines.push_back("The check ended with signal " + std::to_string(WTERMSIG(status)) + ".");
  else if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && report.empty())
    lines.push_back("The check could not be started.");
  return lines;
}

}  // namespace installer
