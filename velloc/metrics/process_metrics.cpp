#include "velloc/metrics/process_metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// The fields of /proc/PID/stat after the command name, counted as proc(5) does.
constexpr int kFirstFieldAfterName = 3;  // state
constexpr int kUserTimeField = 14;
constexpr int kSystemTimeField = 15;
constexpr int kChildrenUserTimeField = 16;
constexpr int kChildrenSystemTimeField = 17;
constexpr int kStartTimeField = 22;
constexpr int kVirtualSizeField = 23;
constexpr int kResidentPagesField = 24;

struct StatFields {
  std::uint64_t user_ticks = 0;
  std::uint64_t system_ticks = 0;
  std::uint64_t children_ticks = 0;  // of the children it waited for
  std::uint64_t start_ticks = 0;
  std::uint64_t virtual_bytes = 0;
  std::uint64_t resident_pages = 0;
};

bool read_file(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The command name may hold blanks and parentheses: the fields start after the
// last ')'.
bool parse_stat(const std::string& text, StatFields* fields) {
  std::size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return false;
  std::istringstream in(text.substr(name_end + 1));
  std::string value;
  int field = kFirstFieldAfterName;
  for (; field <= kResidentPagesField && in >> value; ++field) {
    std::uint64_t number = std::strtoull(value.c_str(), nullptr, 10);
    if (field == kUserTimeField) fields->user_ticks = number;
    if (field == kSystemTimeField) fields->system_ticks = number;
    if (field == kChildrenUserTimeField || field == kChildrenSystemTimeField)
      fields->children_ticks += number;
    if (field == kStartTimeField) fields->start_ticks = number;
    if (field == kVirtualSizeField) fields->virtual_bytes = number;
    if (field == kResidentPagesField) fields->resident_pages = number;
  }
  return field > kResidentPagesField;
}

// The system's boot time ("btime" of /proc/stat), seconds since the epoch.
bool read_boot_time(const std::string& proc_root, std::uint64_t* boot_time) {
  std::ifstream in(proc_root + "/stat");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("btime ", 0) == 0) {
      *boot_time = std::strtoull(line.c_str() + 6, nullptr, 10);
      return true;
    }
  }
  return false;
}

// The entries of /proc/PID/fd; -1 when it cannot be listed.
long count_open_fds(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace

bool read_process_metrics(const ProcessMetricsSource& source, const std::vector<int>& pids,
                          ProcessMetrics* metrics, std::string* error) {
  double ticks = static_cast<double>(
      source.clock_ticks_per_second > 0 ? source.clock_ticks_per_second : sysconf(_SC_CLK_TCK));
  std::uint64_t page =
      static_cast<std::uint64_t>(source.page_size > 0 ? source.page_size : sysconf(_SC_PAGESIZE));
  std::vector<std::string> names;
  for (int pid : pids) names.push_back(std::to_string(pid));
  if (names.empty()) names.push_back("self");
  *metrics = ProcessMetrics{};
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string directory = source.proc_root + "/" + names[i];
    std::string text;
    StatFields stat;
    long fds = count_open_fds(directory + "/fd");
    if (!read_file(directory + "/stat", &text) || !parse_stat(text, &stat) || fds < 0) {
      if (i > 0) continue;
      *error = "cannot read " + directory + "/stat and " + directory + "/fd";
      return false;
    }
    metrics->cpu_seconds += static_cast<double>(stat.user_ticks + stat.system_ticks) / ticks;
    metrics->resident_bytes += stat.resident_pages * page;
    metrics->virtual_bytes += stat.virtual_bytes;
    metrics->open_fds += static_cast<std::uint64_t>(fds);
    if (i == 0) {
      metrics->cpu_seconds += static_cast<double>(stat.children_ticks) / ticks;
      std::uint64_t boot_time = 0;
      if (read_boot_time(source.proc_root, &boot_time))
        metrics->start_time_seconds =
            static_cast<double>(boot_time) + static_cast<double>(stat.start_ticks) / ticks;
    }
  }
  return true;
}
