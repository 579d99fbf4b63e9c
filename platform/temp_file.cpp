#include "platform/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "platform/path_map.h"

namespace platform {

namespace {

constexpr char kSuffix[] = ".tmp";

bool ends_with_separator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

// Whether `path` still names the file with this identity (never following a link).
bool names_file(const std::string& path, dev_t device, ino_t inode) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

int TempFileRegistry::create(std::vector<char>& pattern, int suffix_length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (before_first_file_) std::exchange(before_first_file_, nullptr)();
  std::erase_if(entries_, [](const Entry& entry) {
    return !names_file(entry.path, entry.device, entry.inode);
  });
  int fd = mkostemps(pattern.data(), suffix_length, O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0)
    entries_.push_back({std::string(pattern.data()), info.st_dev, info.st_ino});
  return fd;
}

TempFileRegistry::EndingHold::EndingHold(TempFileRegistry* registry) : registry_(registry) {
  if (!registry_) return;
  {
    std::lock_guard<std::mutex> lock(registry_->mutex_);
    if (registry_->before_first_file_) std::exchange(registry_->before_first_file_, nullptr)();
  }
  std::lock_guard<std::mutex> lock(registry_->hold_mutex_);
  ++registry_->holds_;
}

TempFileRegistry::EndingHold::~EndingHold() {
  if (!registry_) return;
  std::lock_guard<std::mutex> lock(registry_->hold_mutex_);
  if (--registry_->holds_ == 0) registry_->hold_released_.notify_all();
}

void TempFileRegistry::wait_for_no_hold(int limit_milliseconds) {
  std::unique_lock<std::mutex> lock(hold_mutex_);
  hold_released_.wait_for(lock, std::chrono::milliseconds(limit_milliseconds),
                          [this] { return holds_ == 0; });
}

void TempFileRegistry::forget(const std::string& native_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& entry) { return entry.path == native_path; });
}

void TempFileRegistry::remove_all() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Entry& entry : entries_)
    if (names_file(entry.path, entry.device, entry.inode)) unlink(entry.path.c_str());
  entries_.clear();
}

std::optional<TempFile> TempFile::create(const std::string& directory, const char* prefix,
                                         TempFileRegistry* registry) {
  std::string native_directory = directory.empty() ? "" : native_path(directory);
  if (!native_directory.empty() && !ends_with_separator(native_directory)) native_directory += '/';
  std::string pattern = native_directory + prefix + "XXXXXX" + kSuffix;
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int suffix_length = sizeof kSuffix - 1;
  int fd = registry ? registry->create(buffer, suffix_length)
                    : mkostemps(buffer.data(), suffix_length, O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string native(buffer.data());
  std::string name = native.substr(native_directory.size());
  std::string composed = directory.empty() || ends_with_separator(directory)
                             ? directory + name
                             : directory + "/" + name;
  return TempFile(fd, std::move(composed), std::move(native), registry);
}

TempFile::TempFile(int fd, std::string path, std::string native, TempFileRegistry* registry)
    : fd_(fd), path_(std::move(path)), native_(std::move(native)), registry_(registry) {}

TempFile::TempFile(TempFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      native_(std::move(other.native_)),
      registry_(other.registry_) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    remove();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    native_ = std::move(other.native_);
    registry_ = other.registry_;
  }
  return *this;
}

TempFile::~TempFile() { remove(); }

std::string TempFile::release_name() {
  if (fd_ >= 0) close(std::exchange(fd_, -1));
  return path_;
}

void TempFile::remove() {
  if (fd_ < 0) return;
  struct stat info;
  if (fstat(fd_, &info) == 0 && names_file(native_, info.st_dev, info.st_ino))
    unlink(native_.c_str());
  if (registry_) registry_->forget(native_);
  close(fd_);
  fd_ = -1;
}

std::optional<std::string> make_temp_file(const std::string& directory, const char* prefix,
                                          TempFileRegistry* registry) {
  std::optional<TempFile> file = TempFile::create(directory, prefix, registry);
  if (!file) return std::nullopt;
  return file->release_name();
}

}  // namespace platform
