// What the installer takes from one file stored in a cabinet besides its data: the output
// path that its stored name maps to, and its stored DOS date and time as a point in time.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace installer {

// The stored name (parts separated by backslashes) as a relative path with "/". Nothing
// when the name would leave the destination directory: absolute, empty, or with an empty
// or ".." part.
std::optional<std::string> relative_output_path(std::string_view stored_name);

// The stored date and time taken as local time (daylight saving time as it applied then).
// Nothing when the value cannot be represented.
std::optional<std::time_t> stored_local_time(int year, int month, int day, int hour, int minute,
                                             int second);

}  // namespace installer
