// Starting a program with redirected streams, in another directory and without a
// shell is proven through the encryption step of the mail tests.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

// True while a process of the group runs (an unreaped zombie does not count).
bool group_has_live_process(pid_t group) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    char state = 0;
    pid_t parent = 0, process_group = 0;
    fields >> state >> parent >> process_group;
    if (process_group == group && state != 'Z') return true;
  }
  return false;
}

TEST(ProcessTest, KillStopsWhatTheChildStartedToo) {
  pid_t child = spawn({"-c", "sleep 30 & wait"});
  int status = 0;
  EXPECT_FALSE(platform::wait_for_process(child, 3, 20, &status));
  pid_t group = getpgid(child);
  EXPECT_EQ(child, group);
  platform::kill_process(child);
  bool group_gone = false;
  for (int tries = 0; tries < 100 && !group_gone; ++tries) {
    group_gone = !group_has_live_process(group);
    if (!group_gone) usleep(10000);
  }
  EXPECT_TRUE(group_gone);  // the grandchild "sleep" ended with its parent
}

TEST(ProcessTest, TheChildStartsWithNoSignalBlocked) {
  sigset_t stopping, before;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopping, &before);
  pid_t child = spawn({"-c", "grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status"});
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  int status = 0;
  ASSERT_TRUE(platform::wait_for_process(child, 100, 50, &status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
