#include "platform/shared_once.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Each key is first once across the processes that share the table: a child forked
// after the table was made sees what the parent met, and the parent what it met.
TEST(SharedOnce, FirstOnceAmongForkedProcesses) {
  platform::SharedOnce once;
  EXPECT_TRUE(once.first(42));
  pid_t child = fork();
  if (child == 0) _exit(!once.first(42) && once.first(7) && !once.first(7) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(once.first(7));
  EXPECT_FALSE(once.first(42));
  EXPECT_TRUE(once.first(42 + 512));  // takes the slot of 42 ...
  EXPECT_TRUE(once.first(42));        // ... which is then met anew
}

}  // namespace
