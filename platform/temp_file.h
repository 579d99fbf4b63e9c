// Unique temporary files, made with mkstemp so that concurrent runs never share one.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Creates a new empty file in `directory` (a composed path; "" means the current
// directory) whose name begins with the three-letter `prefix`. Returns the path as
// composed text (`directory` followed by the new name), or nullopt when no file
// could be made.
std::optional<std::string> make_temp_file(const std::string& directory, const char* prefix);

}  // namespace platform
