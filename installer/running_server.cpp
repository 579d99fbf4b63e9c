#include "installer/running_server.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "platform/path_map.h"

namespace installer {

namespace {

constexpr std::string_view kReplacedSuffix = " (deleted)";

std::optional<std::string> program_of(const std::string& pid) {
  char target[PATH_MAX];
  std::string link = "/proc/";
  link.append(pid).append("/exe");
  ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
  if (length <= 0) return std::nullopt;
  return std::string(target, static_cast<std::size_t>(length));
}

// The parent's id from /proc/PID/stat, whose second field (the name) may hold anything
// but ends at the last ')'.
pid_t parent_of(const std::string& pid) {
  std::string path = "/proc/";
  path.append(pid).append("/stat");
  std::ifstream stat(path);
  std::string line;
  std::getline(stat, line);
  std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos || name_end + 4 > line.size()) return 0;
  return static_cast<pid_t>(std::atol(line.c_str() + name_end + 4));
}

// A supervisor waits for SIGHUP with the signal blocked; a run as a CGI script ends on it.
// One that ignores it is not ended by it either.
bool survives_hangup(pid_t pid) {
  std::string path = "/proc/";
  path.append(std::to_string(pid)).append("/status");
  std::ifstream status(path);
  unsigned long long held = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigBlk:") || line.starts_with("SigIgn:"))
      held |= std::strtoull(line.c_str() + 7, nullptr, 16);
  }
  return (held >> (SIGHUP - 1)) & 1;
}

bool runs(const std::string& program, const std::string& program_file) {
  return program == program_file ||
         (program.ends_with(kReplacedSuffix) &&
          program.substr(0, program.size() - kReplacedSuffix.size()) == program_file);
}

}  // namespace

std::vector<pid_t> running_servers(const std::string& program_file) {
  std::map<pid_t, pid_t> parents;  // processes running the program, with their parents
  if (DIR* proc = opendir("/proc")) {
    while (dirent* entry = readdir(proc)) {
      std::string pid = entry->d_name;
      if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
      std::optional<std::string> program = program_of(pid);
      if (program && runs(*program, program_file))
        parents[static_cast<pid_t>(std::atol(pid.c_str()))] = parent_of(pid);
    }
    closedir(proc);
  }
  std::set<pid_t> with_worker;
  for (const auto& [pid, parent] : parents)
    if (parents.contains(parent)) with_worker.insert(parent);
  std::vector<pid_t> servers;
  for (pid_t pid : with_worker)
    if (!parents.contains(parents[pid]) && survives_hangup(pid)) servers.push_back(pid);
  return servers;
}

std::string restart_running_servers(const std::string& program_directory) {
  char resolved[PATH_MAX];
  if (realpath(platform::native_path(program_directory).c_str(), resolved) == nullptr) return "";
  std::string told;
  std::string program_file(resolved);
  program_file.append("/velloc");
  for (pid_t pid : running_servers(program_file))
    if (kill(pid, SIGHUP) == 0) told.append(" ").append(std::to_string(pid));
  if (told.empty()) return "";
  return "Told the running velloc (process" + told + ") to start the new program.";
}

}  // namespace installer
