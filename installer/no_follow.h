// Creating, opening and removing entries inside an install folder without following a
// symbolic link that someone with write access to the folder may have planted there. The
// install folder and every folder below it are entered only when they are real directories,
// and the entry at the end is never followed. The folders above the install folder are the
// ones the person installing picked and are taken as they are.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace installer {

// The part of `path` below `folder` (both native paths as path_map composes them; a trailing
// "/" of the folder does not count). Nothing when `path` does not lie below `folder`.
std::optional<std::string> path_below(std::string_view folder, std::string_view path);

// Creates the directory `relative` (parts separated by "/") below `folder`. Returns 0 or the
// errno of the failure: EEXIST when a directory or a file stands there already, ELOOP when a
// symbolic link does or a folder on the way is one.
int make_directory_below(const std::string& folder, std::string_view relative, mode_t mode);

// Opens the regular file `relative` below `folder` for reading and writing, created with
// `mode` or cut to zero length. Refuses (-1, errno set) a symbolic link, a folder on the way
// that is one, anything but a regular file, and a file with further hard links: each of them
// would let the write land somewhere else. Never blocks on a FIFO.
int open_output_below(const std::string& folder, std::string_view relative, mode_t mode);

// For a file that must appear whole or not at all. Checks that `relative` below `folder`
// could be opened as open_output_below opens it (a program that is running, which cannot be
// opened for writing, passes), without changing what stands there, then
// creates a new file beside it under a hidden name of its own, for reading and writing with
// `mode`. Returns its descriptor and sets `staged` to its path below `folder`; -1 (errno
// set) on failure. The caller either commits or removes `staged`.
int open_staged_below(const std::string& folder, std::string_view relative, mode_t mode,
                      std::string& staged);

// Puts the file `staged` (from open_staged_below for `relative`) in the place of `relative`
// in one step: whatever stood there is replaced, never written through. 0 or the errno.
int commit_staged_below(const std::string& folder, std::string_view staged,
                        std::string_view relative);

// Removes the file `relative` below `folder`; a link standing there is removed itself, never
// what it points to. Failures are ignored.
void remove_below(const std::string& folder, std::string_view relative);

// Whether the last component of `path` is a symbolic link.
bool is_symbolic_link(const std::string& path);

}  // namespace installer
