#include "tests/support/cgi_runner.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "velloc-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void TempDir::write(const std::string& name, const std::string& content) const {
  fs::path target = file(name);
  fs::create_directories(target.parent_path());
  std::ofstream(target, std::ios::binary) << content;
}

std::string TempDir::read(const std::string& name) const { return read_file(file(name)); }

bool TempDir::exists(const std::string& name) const { return fs::exists(file(name)); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

namespace {

std::string drain(int fd) {
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  close(fd);
  return text;
}

void feed(int fd, const std::string& body) {
  std::size_t sent = 0;
  while (sent < body.size()) {
    ssize_t n = write(fd, body.data() + sent, body.size() - sent);
    if (n <= 0) break;
    sent += n;
  }
  close(fd);
}

}  // namespace

CgiResult run_cgi(const CgiInvocation& invocation) {
  signal(SIGPIPE, SIG_IGN);  // a program that exits early must not kill the test
  std::string binary = invocation.binary.empty() ? VELLOC_BINARY : invocation.binary;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe failed");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  if (!invocation.working_directory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, invocation.working_directory.c_str());

  std::vector<std::string> arguments = invocation.arguments;
  std::vector<char*> argv{binary.data()};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_copy = invocation.environment;
  std::vector<char*> envp;
  for (auto& entry : env_copy) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid;
  int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + binary);

  CgiResult result;
  std::thread writer(feed, in_pipe[1], invocation.body);
  std::thread error_reader([&] { result.errors = drain(err_pipe[0]); });
  result.output = drain(out_pipe[0]);
  writer.join();
  error_reader.join();
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::vector<std::string> post_environment(const std::string& body) {
  return {"REQUEST_METHOD=POST", "GATEWAY_INTERFACE=CGI/1.1",
          "CONTENT_TYPE=application/x-www-form-urlencoded",
          "CONTENT_LENGTH=" + std::to_string(body.size()), "PATH=/usr/bin:/bin"};
}

}  // namespace testing_support
