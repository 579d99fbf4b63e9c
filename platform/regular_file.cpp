#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {

constexpr char kReplacementSuffix[] = ".new";

// Closes `fd` keeping errno, and returns -1.
int close_failed(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
  return -1;
}

// Whether `info` is a regular file with a single name (errno EINVAL or EMLINK when not).
bool sole_regular(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (info.st_nlink > 1) {
    errno = EMLINK;
    return false;
  }
  return true;
}

// The entry at `path` must be absent or a regular file with a single name.
bool replaceable(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  if (S_ISLNK(info.st_mode)) {
    errno = ELOOP;
    return false;
  }
  return sole_regular(info);
}

}  // namespace

int open_regular_file(const char* path, int flags) {
  int fd = open(path, flags | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

bool is_sole_regular_file(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && sole_regular(info);
}

int open_output_file_at(int directory, const char* name, OutputMode mode, mode_t create_mode) {
  int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  if (mode == OutputMode::kAppend) flags |= O_APPEND;
  int fd = openat(directory, name, flags, create_mode);
  if (fd < 0) return -1;
  if (!is_sole_regular_file(fd)) return close_failed(fd);
  if (mode == OutputMode::kReplace && ftruncate(fd, 0) != 0) return close_failed(fd);
  int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return close_failed(fd);
  return fd;
}

int open_output_file(const char* path, OutputMode mode) {
  return open_output_file_at(AT_FDCWD, path, mode, 0644);
}

bool is_folder_link(const std::string& path) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  struct stat info;
  return lstat(folder.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

namespace {

// Writes `contents` to a new file beside `path`, lets `finish` give it its status (and
// take it to the disk), and renames it over `path`. The new file is removed on every
// failure, keeping the errno of the step that failed. `*renamed` gets its status.
template <typename Finish>
bool rename_new_file_over(const std::string& path, const std::string& contents, Finish finish,
                          struct stat* renamed) {
  std::string pattern = path + ".XXXXXX" + kReplacementSuffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkostemps(name.data(), sizeof kReplacementSuffix - 1, O_CLOEXEC);
  if (fd < 0) return false;
  bool done = write_all(fd, contents.data(), contents.size()) && finish(fd) &&
              rename(name.data(), path.c_str()) == 0;
  int saved = errno;
  if (done && renamed && fstat(fd, renamed) != 0) *renamed = {};
  close(fd);  // what it wrote is in place already
  if (done) return true;
  unlink(name.data());
  errno = saved;
  return false;
}

// Gives `fd` the owner, group and mode of `existing`, then takes it to the disk. The
// owner comes first, as changing it clears the set-user-ID and set-group-ID bits.
bool take_status_of(int fd, const struct stat& existing) {
  struct stat own;
  if (fstat(fd, &own) != 0) return false;
  bool same_owner = own.st_uid == existing.st_uid && own.st_gid == existing.st_gid;
  if (!same_owner && fchown(fd, existing.st_uid, existing.st_gid) != 0) return false;
  return fchmod(fd, existing.st_mode & 07777) == 0 && fsync(fd) == 0;
}

// After a rename: the folder's entry reaches the disk too (a folder that cannot be
// opened or synced leaves the rename as the file system keeps it).
void sync_folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (fsync(fd) != 0) {
    // Nothing more to do: the file itself is on disk.
  }
  close(fd);
}

}  // namespace

bool replace_file(const std::string& path, const std::string& contents) {
  if (path.empty() || !replaceable(path)) return false;
  return rename_new_file_over(
      path, contents, [](int fd) { return fchmod(fd, 0644) == 0; }, nullptr);
}

bool replace_file_keeping_status(const std::string& path, const struct stat& existing,
                                 const std::string& contents, struct stat* replaced) {
  bool done = rename_new_file_over(
      path, contents, [&](int fd) { return take_status_of(fd, existing); }, replaced);
  if (done) sync_folder_of(path);
  return done;
}

}  // namespace platform
