#include "platform/process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace platform {

namespace {

// Owns posix_spawn's file actions for one start.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  int redirect(int fd, int target) {
    return fd < 0 ? 0 : posix_spawn_file_actions_adddup2(&actions_, fd, target);
  }
  int change_directory(const std::string& directory) {
    return directory.empty() ? 0
                             : posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str());
  }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Owns posix_spawn's attributes: the child leads a process group of its own, so that
// stopping it also stops what it started, gets the default action back for the
// signals that the caller ignores for itself (a file-size limit, a closed pipe), and
// starts with no signal blocked (the caller blocks the ones it waits for or cleans up
// after itself).
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setpgroup(&attributes_, 0);
    posix_spawnattr_setflags(
        &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

bool reap(pid_t pid, int* status) {
  for (;;) {
    pid_t ended = waitpid(pid, status, WNOHANG);
    if (ended == pid) return true;
    if (ended < 0 && errno == EINTR) continue;
    if (ended == 0) return false;
    *status = -1;  // not our child: nothing left to wait for, and no success to report
    return true;
  }
}

// Waits up to `interval_ms` for the child to end, returning early when it does.
void wait_interval(int pidfd, int interval_ms) {
  if (pidfd >= 0) {
    pollfd request = {pidfd, POLLIN, 0};
    poll(&request, 1, interval_ms);
    return;
  }
  usleep(static_cast<useconds_t>(interval_ms) * 1000);
}

}  // namespace

pid_t spawn_process(const SpawnRequest& request, int* error) {
  FileActions actions;
  int result = actions.redirect(request.stdin_fd, STDIN_FILENO);
  if (result == 0) result = actions.redirect(request.stdout_fd, STDOUT_FILENO);
  if (result == 0) result = actions.redirect(request.stderr_fd, STDERR_FILENO);
  if (result == 0) result = actions.change_directory(request.working_directory);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(request.program.c_str()));
  for (const std::string& argument : request.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (request.environment) {
    for (const std::string& entry : *request.environment)
      envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }
  SpawnAttributes attributes;
  pid_t pid = -1;
  if (result == 0)
    result = posix_spawn(&pid, request.program.c_str(), actions.get(), attributes.get(),
                         argv.data(), request.environment ? envp.data() : environ);
  if (result != 0) {
    *error = result;
    return -1;
  }
  return pid;
}

bool wait_for_process(pid_t pid, int polls, int interval_ms, int* status) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool ended = false;
  for (int poll_count = 0; poll_count < polls && !ended; ++poll_count) {
    ended = reap(pid, status);
    if (!ended) wait_interval(pidfd, interval_ms);
  }
  if (!ended) ended = reap(pid, status);
  if (pidfd >= 0) close(pidfd);
  return ended;
}

void kill_process(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace platform
