// Opening files without being led elsewhere. A pipe or device standing where a settings
// file or an archive should be can never block or feed the program, and a file written in a
// folder that others can write is never reached through a symbolic link or a second hard
// link planted there. The descriptors returned belong to the caller.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace platform {

// open(2) of `path` with `flags` (O_CLOEXEC added, mode 0644 when created); -1 when it
// cannot be opened or is not a regular file. Add O_NONBLOCK so that opening a FIFO
// cannot wait for a writer.
int open_regular_file(const char* path, int flags);

enum class OutputMode {
  kAppend,   // every write lands at the end (O_APPEND)
  kReplace,  // cut to zero length, but only once the file is known to be ours alone
};

// Opens the entry `name` of the directory `directory` (AT_FDCWD for the working directory,
// where `name` may be a whole path) for writing, created with `mode` when missing. The last
// component is never followed. Refuses with -1 and errno ELOOP a symbolic link, EINVAL
// anything but a regular file and EMLINK a file with further hard links: each would let the
// write land in another file. Never blocks on a FIFO.
int open_output_file_at(int directory, const char* name, OutputMode mode, mode_t create_mode);

// open_output_file_at() relative to the working directory, mode 0644.
int open_output_file(const char* path, OutputMode mode);

// Whether `fd` is a regular file with no other name (errno EINVAL or EMLINK when not).
bool is_sole_regular_file(int fd);

// Whether the folder `path` (trailing "/" ignored) is itself a symbolic link.
bool is_folder_link(const std::string& path);

// Writes all of `size` bytes, retrying after a signal; false (errno set) when the file
// takes no more. A regular file takes a record in one call unless it is full.
bool write_all(int fd, const char* data, std::size_t size);

// Replaces the contents of `path` by `contents` through a new file beside it that is renamed
// into place, so that a reader sees either the old or the new file whole. Refuses, like
// open_output_file(), a link, a non-regular file or one with other hard links standing at
// `path`. False with errno set on any failure; the new file is then removed.
bool replace_file(const std::string& path, const std::string& contents);

// Replaces the contents of the existing regular file `path`, whose status is `existing`,
// as replace_file() does, for a file that must stay as it is in every other respect: the
// new file gets the same owner, group and mode and reaches the disk before it is renamed
// over the old one. On any failure (a full disk, a folder that takes no new file, an
// owner that cannot be given) the old file is left whole and the new one removed; false
// with errno set. `*replaced`, when given, is the status of the file now at `path`.
bool replace_file_keeping_status(const std::string& path, const struct stat& existing,
                                 const std::string& contents, struct stat* replaced = nullptr);

}  // namespace platform
