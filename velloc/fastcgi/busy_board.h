// Since when each worker of the FastCGI server has been busy with one request, kept in
// memory that the supervisor maps before it forks the workers, so that it sees a worker
// stuck in a request while the worker cannot tell it anything. The supervisor owns the
// board and gives each worker a slot of its own; a worker writes only its slot.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

// One worker's slot; a slot of no board (the default) records nothing.
class BusySlot {
 public:
  using Clock = std::chrono::steady_clock;

  BusySlot() = default;
  explicit BusySlot(std::atomic<std::int64_t>* since) : since_(since) {}

  // A request began to arrive at `now`.
  void begin(Clock::time_point now);
  // The request is answered (or gone); the worker waits for the next.
  void end();

 private:
  std::atomic<std::int64_t>* since_ = nullptr;
};

class BusyBoard {
 public:
  using Clock = BusySlot::Clock;

  // A board of `slots` slots, all idle. When the shared memory cannot be had, the board
  // has no slots: its workers record nothing and none is ever stuck.
  explicit BusyBoard(int slots);
  ~BusyBoard();
  BusyBoard(const BusyBoard&) = delete;
  BusyBoard& operator=(const BusyBoard&) = delete;

  // Slot `index` (0 to slots - 1) for a worker about to start, made idle first.
  BusySlot fresh_slot(int index);
  // How many workers have been busy with one request for longer than `limit` at `now`.
  int stuck(Clock::time_point now, Clock::duration limit) const;
  // How many workers are busy with a request now.
  int busy() const;

 private:
  std::atomic<std::int64_t>* since_ = nullptr;
  int slots_ = 0;
};
