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
#include "velloc/mail/mail_temp_file.h"
#include "velloc/request/html_escape.h"
#include "velloc/request/refusal.h"
#include "velloc/run.h"

namespace {

constexpr char kLogFile[] = "PGP.LOG";
constexpr char kProgramName[] = "pgp";
constexpr char kTextOptions[] = "-feat";
constexpr char kBinaryOptions[] = "-fea";
constexpr std::size_t kMaxMessage = 1999;

// The descriptors handed to the program; closed when it goes out of scope.
struct EncryptionFiles {
  int body = -1;
  int output = -1;
  int log = -1;
  ~EncryptionFiles() {
    for (int fd : {body, output, log})
      if (fd >= 0) close(fd);
  }
};

std::string absolute(const std::string& path, const std::string& working_directory) {
  if (path.empty() || path.front() == '/' || working_directory.empty()) return path;
  return working_directory + "/" + path;
}

void remove_file(const std::string& path) { std::remove(platform::native_path(path).c_str()); }

[[noreturn]] void fail_encryption(Run& run, const std::string& body_file,
                                  const std::string& output_file, const char* format, int number,
                                  const std::string& command) {
  remove_file(body_file);
  remove_file(output_file);
  char message[kMaxMessage + 1];
  std::snprintf(message, sizeof message, format, number, command.c_str());
  // The command holds the target from the form: escaped on the page, as written in the log.
  fail_request(run.message, html_escape(message), message);
}

[[noreturn]] void fail_files(Run& run, const std::string& body_file, const std::string& output_file,
                             const char* message) {
  remove_file(body_file);
  remove_file(output_file);
  fail_request(run.message, message);
}

void open_files(Run& run, const std::string& body_file, const std::string& output_file,
                EncryptionFiles& files) {
  files.body = open(platform::native_path(body_file).c_str(), O_RDONLY | O_CLOEXEC);
  if (files.body < 0) fail_files(run, body_file, output_file, "Could Not Open Message File (1)!");
  files.output = open(platform::native_path(output_file).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (files.output < 0) fail_files(run, body_file, output_file, "Could Not Open Message File (2)!");
  files.log = open(platform::native_path_for_create(kLogFile).c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (files.log < 0) fail_files(run, body_file, output_file, "Could Not Open PGP Log File!");
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

void encrypt_body_file(Run& run, std::string& body_file, const std::string& target,
                       EncryptionInput input) {
  std::string output_file;
  try {
    output_file = make_mail_temp_file(run);
  } catch (const RunEnded&) {
    remove_file(body_file);
    throw;
  }
  EncryptionFiles files;
  open_files(run, body_file, output_file, files);

  const std::string& directory = run.settings.pgp_directory;
  std::string command = encryption_command_text(directory, target, input);
  platform::SpawnRequest request;
  request.program =
      absolute(platform::native_path(directory + kProgramName), run.site.facts().working_directory);
  request.arguments = {options_for(input), target};
  request.stdin_fd = files.body;
  request.stdout_fd = files.output;
  request.stderr_fd = files.log;
  if (!directory.empty()) request.working_directory = platform::native_path(directory);
  request.environment = encryption_environment(run.request.environment);

  int error = 0;
  pid_t child = platform::spawn_process(request, &error);
  if (child < 0) {
    std::cerr << "velloc: cannot start the encryption program: " << std::strerror(error) << '\n';
    fail_encryption(run, body_file, output_file, "Error Number (%d) (%s)", error, command);
  }
  int status = 0;
  if (!platform::wait_for_process(child, kEncryptionPolls, kEncryptionPollMs, &status)) {
    platform::kill_process(child);
    fail_encryption(run, body_file, output_file,
                    "Encryption Did Not Finish In Time (%d seconds) (%s)",
                    kEncryptionPolls * kEncryptionPollMs / 1000, command);
  }
  if (exit_code(status) != 0)
    fail_encryption(run, body_file, output_file, "Encryption Failed With Exit Code (%d) (%s)",
                    exit_code(status), command);
  remove_file(body_file);
  body_file = output_file;
}
