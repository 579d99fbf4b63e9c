// Maps the system's composed path texts (which may use backslashes and any letter
// case, as written in settings and forms) onto native POSIX paths. Every file the
// programs open goes through one of these two functions; messages and logs keep
// showing the composed text.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// For opening an existing file or directory: backslashes become slashes; when the
// result does not exist as written, each component is matched against its
// directory's entries without regard to case (an exact match wins; among several
// case-insensitive matches the first in byte order). Returns the best path found,
// which may not exist.
std::string native_path(std::string_view composed);

// For creating or appending: the directory part is resolved as by native_path and
// the last component reuses an existing entry that matches it without regard to
// case; otherwise it is kept as written.
std::string native_path_for_create(std::string_view composed);

// The directory holding the running executable (from /proc/self/exe), ending in '/'.
std::string executable_directory();

}  // namespace platform
