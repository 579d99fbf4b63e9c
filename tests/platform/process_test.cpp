// Starting a program with redirected streams, in another directory and without a
// shell is proven through the encryption step of the mail tests.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>

namespace {

pid_t spawn(const std::vector<std::string>& arguments) {
  platform::SpawnRequest request;
  request.program = "/bin/sh";
  request.arguments = arguments;
  int error = 0;
  return platform::spawn_process(request, &error);
}

TEST(ProcessTest, WaitEndsWithTheChildOrIsGivenUpAfterTheLastPoll) {
  pid_t child = spawn({"-c", "exit 3"});
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_TRUE(platform::wait_for_process(child, 30, 500, &status));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(3, WEXITSTATUS(status));

  child = spawn({"-c", "exec sleep 30"});
  EXPECT_FALSE(platform::wait_for_process(child, 3, 20, &status));
  platform::kill_process(child);
  EXPECT_EQ(-1, waitpid(child, &status, WNOHANG));  // already reaped
}

}  // namespace
