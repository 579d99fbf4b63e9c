#include "platform/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

class TempFileRegistry::Busy {
 public:
  explicit Busy(TempFileRegistry& registry) : registry_(registry) { ++registry_.changing_; }
  ~Busy() { registry_.leave(registry_.changing_); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  TempFileRegistry& registry_;
};

void TempFileRegistry::leave(std::atomic<int>& counter) {
  --counter;
  int deferred = deferred_signal_;
  if (deferred != 0 && changing_ == 0 && holds_ == 0 && end_deferred_) end_deferred_(deferred);
}

void TempFileRegistry::run_before_first_file() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (before_first_file_) std::exchange(before_first_file_, nullptr)();
}

int TempFileRegistry::create(std::vector<char>& pattern, int suffix_length) {
  run_before_first_file();
  Busy busy(*this);
  std::lock_guard<std::mutex> lock(mutex_);
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
  registry_->run_before_first_file();
  ++registry_->holds_;
}

TempFileRegistry::EndingHold::~EndingHold() {
  if (registry_) registry_->leave(registry_->holds_);
}

void TempFileRegistry::forget(const std::string& native_path) {
  Busy busy(*this);
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& entry) { return entry.path == native_path; });
}

void TempFileRegistry::remove_listed_files() const {
  for (const Entry& entry : entries_)
    if (names_file(entry.path, entry.device, entry.inode)) unlink(entry.path.c_str());
}

void TempFileRegistry::remove_all() {
  Busy busy(*this);
  std::lock_guard<std::mutex> lock(mutex_);
  remove_listed_files();
  entries_.clear();
}

bool TempFileRegistry::remove_all_or_defer(int signal_number, bool past_holds) {
  if (changing_ == 0 && (past_holds || holds_ == 0)) {
    remove_listed_files();
    return true;
  }
  int none = 0;
  deferred_signal_.compare_exchange_strong(none, signal_number);
  return false;
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
