// An exclusive advisory lock (flock) held for the lifetime of the object, used to
// serialise concurrent runs that append to or rebuild the same file. Not copyable.
#pragma once

#include <string>

namespace platform {

class FileLock {
 public:
  // Locks the native file `native_path`, creating it when missing. A lock that cannot
  // be taken leaves the object unlocked (locked() false); callers carry on unlocked.
  explicit FileLock(const std::string& native_path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool locked() const { return fd_ >= 0; }
  // The locked file, open for appending; -1 when unlocked.
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace platform
