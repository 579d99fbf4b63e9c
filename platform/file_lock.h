// An exclusive advisory lock (flock) held for the lifetime of the object, used to
// serialise concurrent runs that append to or rebuild the same file. Not copyable.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

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

// A lock file a process opens once and locks again and again (the writers of a store
// take turns on one at each commit): one open for many locks. An empty path locks
// nothing. A process forked from the one that opened it opens its own, since the two
// would share one lock. Not copyable.
class KeptLock {
 public:
  explicit KeptLock(std::string native_path) : path_(std::move(native_path)) {}
  ~KeptLock();
  KeptLock(const KeptLock&) = delete;
  KeptLock& operator=(const KeptLock&) = delete;

  // Holds the lock for its lifetime when `wanted`; one that cannot be taken holds
  // nothing, and its holder carries on unlocked.
  class Hold {
   public:
    Hold(KeptLock& lock, bool wanted);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    KeptLock* locked_ = nullptr;
  };

 private:
  bool take();
  void release();

  std::string path_;
  int fd_ = -1;
  pid_t owner_ = 0;
};

}  // namespace platform
