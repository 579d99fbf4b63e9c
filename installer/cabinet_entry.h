// What the installer takes from one file stored in a cabinet besides its data: the output
// path that its stored name maps to, and its stored DOS date and time as a point in time;
// and whether the entry's name and stamp are ones that an intact cabinet can hold.
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

// Whether `stored_name` is a name an intact cabinet holds: valid UTF-8 (no overlong forms,
// surrogates or values past U+10FFFF) when `utf8` says the name is flagged so, ISO-8859-1
// otherwise; in either case free of control characters (C0, DEL, C1), line and paragraph
// separators and bidirectional controls, which would reach terminals and listings as they
// are.
bool stored_name_is_sound(std::string_view stored_name, bool utf8);

// Whether the decoded DOS date and time name a real moment: month 1 to 12, a day that the
// month has, hour below 24, minute and second below 60.
bool stored_time_is_sound(int year, int month, int day, int hour, int minute, int second);

}  // namespace installer
