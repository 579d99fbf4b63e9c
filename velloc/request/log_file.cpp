#include "velloc/request/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "platform/text.h"

namespace {

// The folder part of a native path; empty when the name has none.
std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int open_named_log(const std::string& name, bool follow_links) {
  if (platform::equal_ignoring_case(name, "NUL"))
    return open("/dev/null", O_WRONLY | O_APPEND | O_CLOEXEC);
  std::string path = platform::native_path_for_create(name);
  if (path.empty()) return -1;
  std::string folder = folder_of(path);
  if (!follow_links && !folder.empty() && platform::is_folder_link(folder)) return -1;
  return platform::open_output_file(path.c_str(), platform::OutputMode::kAppend);
}

}  // namespace

LogFile::~LogFile() { close_file(); }

void LogFile::close_file() {
  if (owned_ && fd_ >= 0) ::close(fd_);
  fd_ = -1;
  owned_ = false;
}

void LogFile::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  close_file();
  tried_ = false;
}

bool LogFile::append(const std::string& name, bool follow_links, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!tried_ || name != name_) {
    close_file();
    name_ = name;
    tried_ = true;
    if (platform::equal_ignoring_case(name, "CON")) {
      fd_ = STDERR_FILENO;
    } else {
      fd_ = open_named_log(name, follow_links);
      owned_ = fd_ >= 0;
    }
  }
  if (fd_ < 0) return false;
  ssize_t ignored = write(fd_, line.data(), line.size());
  (void)ignored;
  return true;
}
