// Opens a file only when it is a regular file, so that a pipe or device standing where a
// settings file or an archive should be can never block or feed the program.
#pragma once

namespace platform {

// open(2) of `path` with `flags` (O_CLOEXEC added, mode 0644 when created); -1 when it
// cannot be opened or is not a regular file. Add O_NONBLOCK so that opening a FIFO
// cannot wait for a writer.
int open_regular_file(const char* path, int flags);

}  // namespace platform
