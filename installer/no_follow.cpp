#include "installer/no_follow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/regular_file.h"

namespace installer {

namespace {

constexpr int kEnterDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kOpenExisting = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// Names tried for a staged file before giving up; each is created only when it is new.
constexpr int kStagedNameAttempts = 100;

// A trailing "/" would make open(2) follow a link that stands for the folder.
std::string without_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

// Closes the descriptor it holds; errno survives the close.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(-1); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) {
      int saved = errno;
      close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// Walks from `folder` to the directory that holds the last part of `relative`, entering each
// folder only when it is a real directory. The descriptor is -1 (errno set) on failure.
int open_parent(const std::string& folder, std::string_view relative, std::string& last_part) {
  Descriptor directory(open(without_trailing_slashes(folder).c_str(), kEnterDirectory));
  std::size_t start = 0;
  while (directory.get() >= 0) {
    std::size_t slash = relative.find('/', start);
    if (slash == std::string_view::npos) {
      last_part = std::string(relative.substr(start));
      return directory.release();
    }
    std::string part(relative.substr(start, slash - start));
    directory.reset(openat(directory.get(), part.c_str(), kEnterDirectory));
    start = slash + 1;
  }
  return -1;
}

bool link_at(int directory, const std::string& name) {
  struct stat info;
  return fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// Whether `name` in `directory` is absent or could be written as open_output_below would.
bool replaceable(int directory, const std::string& name) {
  Descriptor existing(openat(directory, name.c_str(), kOpenExisting));
  // A program that is running cannot be opened for writing, yet a new file renamed over it
  // replaces it while it runs on.
  if (existing.get() < 0 && errno == ETXTBSY)
    existing.reset(openat(directory, name.c_str(), kOpenExisting & ~O_RDWR));
  if (existing.get() < 0) return errno == ENOENT;
  return platform::is_sole_regular_file(existing.get());
}

std::string staged_name(int attempt) {
  return ".installing-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
}

std::string sibling(std::string_view relative, const std::string& name) {
  std::size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? name : std::string(relative.substr(0, slash + 1)) + name;
}

}  // namespace

std::optional<std::string> path_below(std::string_view folder, std::string_view path) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  if (folder == "/") folder = "";
  if (path.size() <= folder.size() + 1 || !path.starts_with(folder) || path[folder.size()] != '/')
    return std::nullopt;
  return std::string(path.substr(folder.size() + 1));
}

int make_directory_below(const std::string& folder, std::string_view relative, mode_t mode) {
  std::string name;
  Descriptor parent(open_parent(folder, relative, name));
  if (parent.get() < 0) return errno;
  if (mkdirat(parent.get(), name.c_str(), mode) == 0) return 0;
  int error = errno;
  return error == EEXIST && link_at(parent.get(), name) ? ELOOP : error;
}

int open_output_below(const std::string& folder, std::string_view relative, mode_t mode) {
  std::string name;
  Descriptor parent(open_parent(folder, relative, name));
  if (parent.get() < 0) return -1;
  // Not cut before it is known to be ours alone.
  Descriptor file(openat(parent.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  if (file.get() < 0 || !platform::is_sole_regular_file(file.get())) return -1;
  if (ftruncate(file.get(), 0) != 0) return -1;
  return file.release();
}

int open_staged_below(const std::string& folder, std::string_view relative, mode_t mode,
                      std::string& staged) {
  std::string name;
  Descriptor parent(open_parent(folder, relative, name));
  if (parent.get() < 0 || !replaceable(parent.get(), name)) return -1;
  for (int attempt = 0; attempt < kStagedNameAttempts; ++attempt) {
    std::string candidate = staged_name(attempt);
    int fd = openat(parent.get(), candidate.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      staged = sibling(relative, candidate);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

int commit_staged_below(const std::string& folder, std::string_view staged,
                        std::string_view relative) {
  std::string name, staged_last;
  Descriptor parent(open_parent(folder, relative, name));
  if (parent.get() < 0) return errno;
  staged_last = staged.substr(staged.rfind('/') + 1);
  if (renameat(parent.get(), staged_last.c_str(), parent.get(), name.c_str()) != 0) return errno;
  return 0;
}

void remove_below(const std::string& folder, std::string_view relative) {
  std::string name;
  Descriptor parent(open_parent(folder, relative, name));
  if (parent.get() >= 0) unlinkat(parent.get(), name.c_str(), 0);
}

bool is_symbolic_link(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace installer
