// The process metrics of a velloc server, read from the proc file system: CPU
// time, memory, open files and start time, of one process or summed over a
// supervisor and its workers. Reading is the only side effect; the proc root is
// a parameter so that a test can lay out a tree of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProcessMetrics {
  // User and system time, with that of the first process's children it waited
  // for: a supervisor's sum keeps the time of the workers that have ended.
  double cpu_seconds = 0;
  std::uint64_t resident_bytes = 0;
  std::uint64_t virtual_bytes = 0;
  std::uint64_t open_fds = 0;
  double start_time_seconds = 0;  // since the epoch, of the first process read
};

// Where and how to read: the proc root and the units its files count in.
struct ProcessMetricsSource {
  std::string proc_root = "/proc";
  long clock_ticks_per_second = 0;  // 0: the system's
  long page_size = 0;               // 0: the system's
};

// Reads `pids` ("self" when empty) and sums them; the start time is the first
// one's. A process that has gone meanwhile (a worker that ended) is passed
// over; false with `*error` set when the first cannot be read.
bool read_process_metrics(const ProcessMetricsSource& source, const std::vector<int>& pids,
                          ProcessMetrics* metrics, std::string* error);
