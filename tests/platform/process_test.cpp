#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/cgi_runner.h"

namespace {

using testing_support::TempDir;

TEST(ProcessTest, RedirectsStreamsAndChangesDirectory) {
  TempDir dir;
  dir.write("in.txt", "hello\n");
  int input = open(dir.file("in.txt").c_str(), O_RDONLY | O_CLOEXEC);
  int output = open(dir.file("out.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  platform::SpawnRequest request;
  request.program = "/bin/sh";
  request.arguments = {"-c", "tr a-z A-Z; pwd; echo \"$0|$1\" >&2", "a b; c"};
  request.stdin_fd = input;
  request.stdout_fd = output;
  request.stderr_fd = output;
  request.working_directory = dir.path();
  int error = 0;
  pid_t child = platform::spawn_process(request, &error);
  ASSERT_GT(child, 0);
  int status = -1;
  ASSERT_TRUE(platform::wait_for_process(child, 30, 500, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(input);
  close(output);
  EXPECT_EQ("HELLO\n" + dir.path() + "\na b; c|\n", dir.read("out.txt"));
}

TEST(ProcessTest, MissingProgramReportsItsError) {
  platform::SpawnRequest request;
  request.program = "/no/such/program";
  int error = 0;
  EXPECT_EQ(-1, platform::spawn_process(request, &error));
  EXPECT_EQ(ENOENT, error);
}

TEST(ProcessTest, WaitEndsAsSoonAsTheChildEnds) {
  platform::SpawnRequest request;
  request.program = "/bin/sh";
  request.arguments = {"-c", "exit 3"};
  int error = 0;
  pid_t child = platform::spawn_process(request, &error);
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_TRUE(platform::wait_for_process(child, 30, 500, &status));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(3, WEXITSTATUS(status));
}

TEST(ProcessTest, ChildStillRunningAfterTheLastPollIsStopped) {
  platform::SpawnRequest request;
  request.program = "/bin/sleep";
  request.arguments = {"30"};
  int error = 0;
  pid_t child = platform::spawn_process(request, &error);
  int status = 0;
  EXPECT_FALSE(platform::wait_for_process(child, 3, 20, &status));
  platform::kill_process(child);
  EXPECT_EQ(-1, waitpid(child, &status, WNOHANG));
}

}  // namespace
