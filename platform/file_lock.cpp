#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/regular_file.h"

namespace platform {

FileLock::FileLock(const std::string& native_path) {
  // Never through a link planted at the name: the lock must not create or touch another file.
  fd_ = open_output_file(native_path.c_str(), OutputMode::kAppend);
  if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) close(fd_);
}

KeptLock::~KeptLock() {
  if (fd_ >= 0 && owner_ == getpid()) close(fd_);
}

bool KeptLock::take() {
  if (path_.empty()) return false;
  if (fd_ < 0 || owner_ != getpid()) {
    fd_ = open_output_file(path_.c_str(), OutputMode::kAppend);
    owner_ = getpid();
  }
  return fd_ >= 0 && flock(fd_, LOCK_EX) == 0;
}

void KeptLock::release() { flock(fd_, LOCK_UN); }

KeptLock::Hold::Hold(KeptLock& lock, bool wanted) {
  if (wanted && lock.take()) locked_ = &lock;
}

KeptLock::Hold::~Hold() {
  if (locked_ != nullptr) locked_->release();
}

}  // namespace platform
