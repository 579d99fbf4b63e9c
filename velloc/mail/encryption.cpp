#include "velloc/mail/encryption.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/child_environment.h"
#include "platform/path_map.h"
#include "platform/process.h"
#include "platform/regular_file.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/refusal.h"
#include "velloc/request/html_escape.h"
#include "velloc/run.h"

namespace {

constexpr char kLogFile[] = "PGP.LOG";
constexpr char kProgramName[] = "pgp";
constexpr char kTextOptions[] = "-feat";
constexpr char kBinaryOptions[] = "-fea";
constexpr std::size_t kMaxMessage = 1999;

// The log for the program's diagnostics; closed when it goes out of scope.
struct LogDescriptor {
  int fd = -1;
  ~LogDescriptor() {
    if (fd >= 0) close(fd);
  }
};

std::string absolute(const std::string& path, const std::string& working_directory) {
  if (path.empty() || path.front() == '/' || working_directory.empty()) return path;
  return working_directory + "/" + path;
}

[[noreturn]] void fail_encryption(Run& run, const char* format, int number,
                                  const std::string& command) {
  char message[kMaxMessage + 1];
  std::snprintf(message, sizeof message, format, number, command.c_str());
  // The command holds the target from the form: escaped on the page, as written in the log.
  fail_request(run.message, html_escape(message), message);
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

const char* options_for(EncryptionInput input) {
  return input == EncryptionInput::kText ? kTextOptions : kBinaryOptions;
}

// The program's environment, as "NAME=value" entries.
std::vector<std::string> encryption_environment(const EnvironmentMap& environment) {
  std::vector<std::string> entries;
  environment.for_each([&](const std::string& name, const std::string& value) {
    if (platform::is_helper_variable(name)) entries.push_back(name + "=" + value);
  });
  return entries;
}

}  // namespace

std::string encryption_command_text(const std::string& pgp_directory, const std::string& target,
                                    EncryptionInput input) {
  return pgp_directory + kProgramName + " " + options_for(input) + " " + target;
}

platform::TempFile encrypt_file(Run& run, int plain_fd, const std::string& target,
                                EncryptionInput input) {
  platform::TempFile output = make_mail_temp_file(run.message);
  if (plain_fd < 0 || lseek(plain_fd, 0, SEEK_SET) != 0)
    fail_request(run.message, text::kNoMessageFile);
  LogDescriptor log;
  log.fd = platform::open_output_file(platform::native_path_for_create(kLogFile).c_str(),
                                      platform::OutputMode::kAppend);
  if (log.fd < 0) fail_request(run.message, text::kNoPgpLog);

  const std::string& directory = run.settings.pgp_directory;
  std::string command = encryption_command_text(directory, target, input);
  platform::SpawnRequest request;
  request.program =
      absolute(platform::native_path(directory + kProgramName), run.site.facts().working_directory);
  request.arguments = {options_for(input), target};
  request.stdin_fd = plain_fd;
  request.stdout_fd = output.fd();
  request.stderr_fd = log.fd;
  if (!directory.empty()) request.working_directory = platform::native_path(directory);
  request.environment = encryption_environment(run.request.environment);

  int error = 0;
  pid_t child = platform::spawn_process(request, &error);
  if (child < 0) {
    std::cerr << "velloc: cannot start the encryption program: " << std::strerror(error) << '\n';
    fail_encryption(run, "Error Number (%d) (%s)", error, command);
  }
  int status = 0;
  if (!platform::wait_for_process(child, kEncryptionPolls, kEncryptionPollMs, &status)) {
    platform::kill_process(child);
    fail_encryption(run, "Encryption Did Not Finish In Time (%d seconds) (%s)",
                    kEncryptionPolls * kEncryptionPollMs / 1000, command);
  }
  if (exit_code(status) != 0)
    fail_encryption(run, "Encryption Failed With Exit Code (%d) (%s)", exit_code(status), command);
  return output;
}
