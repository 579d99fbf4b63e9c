// Starts a program without a shell, with its standard streams redirected to open
// file descriptors, and waits for it with a bounded number of polls.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SpawnRequest {
  std::string program;                 // native path of the executable
  std::vector<std::string> arguments;  // argv[1..]
  int stdin_fd = -1;                   // -1 keeps the caller's stream
  int stdout_fd = -1;
  int stderr_fd = -1;
  std::string working_directory;  // native; empty keeps the caller's
  // "NAME=value" entries; nullopt hands the child the caller's environment.
  std::optional<std::vector<std::string>> environment = std::nullopt;
};

// Starts the program as the leader of a new process group. Returns the child's pid, or -1 with
// `error` set to the errno of the failure.
pid_t spawn_process(const SpawnRequest& request, int* error);

// Waits for the child to end, polling at most `polls` times `interval_ms` apart but
// returning as soon as it has ended. Returns true with the exit status in *status
// when it ended; false when it is still running after the last poll.
bool wait_for_process(pid_t pid, int polls, int interval_ms, int* status);

// Stops a child that did not end in time, with everything it started in its process
// group, and reaps it.
void kill_process(pid_t pid);

}  // namespace platform
