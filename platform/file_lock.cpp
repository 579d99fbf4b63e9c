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

}  // namespace platform
