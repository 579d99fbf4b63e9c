#include "velloc/fastcgi/busy_board.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

using Clock = BusyBoard::Clock;
using std::chrono::seconds;

// A worker counts as stuck once its request has taken longer than the limit.
TEST(BusyBoard, StuckWorkers) {
  const Clock::time_point start = Clock::now();
  struct Case {
    std::vector<int> busy_for;  // seconds each slot has been busy at the look; -1: idle
    int expected;
  };
  const Case cases[] = {
      {{-1, -1, -1}, 0},
      {{10, 5, -1}, 0},  // at the limit, not past it
      {{11, -1, 3}, 1},
      {{11, 30, 600}, 3},
  };
  for (const Case& c : cases) {
    BusyBoard board(static_cast<int>(c.busy_for.size()));
    for (int i = 0; i < static_cast<int>(c.busy_for.size()); ++i) {
      BusySlot slot = board.fresh_slot(i);
      if (c.busy_for[i] >= 0) slot.begin(start - seconds(c.busy_for[i]));
    }
    EXPECT_EQ(c.expected, board.stuck(start, seconds(10))) << c.busy_for[0];
  }
}

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
