#include "velloc/fastcgi/busy_board.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = BusyBoard::Clock;
using std::chrono::seconds;

// The supervisor sees what a forked worker records; a request answered and a slot
// given to a new worker are idle again.
TEST(BusyBoard, SharedWithForkedWorkersAndFreshWhenReused) {
  BusyBoard board(2);
  BusySlot slot = board.fresh_slot(1);
  pid_t worker = fork();
  if (worker == 0) {
    slot.begin(Clock::now() - seconds(60));
    _exit(0);
  }
  ASSERT_EQ(worker, waitpid(worker, nullptr, 0));
  EXPECT_EQ(1, board.stuck(Clock::now(), seconds(10)));
  board.fresh_slot(1);
  EXPECT_EQ(0, board.stuck(Clock::now(), seconds(10)));
  slot.begin(Clock::now() - seconds(60));
  slot.end();
  EXPECT_EQ(0, board.stuck(Clock::now(), seconds(10)));
  BusySlot none = board.fresh_slot(2);  // past the board: records nothing
  none.begin(Clock::now() - seconds(60));
  EXPECT_EQ(0, board.stuck(Clock::now(), seconds(10)));
}

}  // namespace
