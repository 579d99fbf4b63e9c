// What the installer takes from one file stored in a cabinet besides its data: the output
// path that its stored name maps to, and its stored DOS date and time as a point in time;
// and whether the entry's name can become a file name and its stamp is one that an intact
// cabinet holds.
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

// Nothing when `stored_name` can become a file name as it stands; otherwise one line that
// names the entry (as shown_name shows it) and says why not. The name must be valid UTF-8
// (no overlong forms, surrogates or values past U+10FFFF) when `utf8` says it is flagged so,
// and is ISO-8859-1 otherwise; an unflagged name that is valid UTF-8 as well is judged as
// both, since its bytes become the file's name. In either case it may hold no control character
// (C0, DEL, C1, line and paragraph separators, bidirectional controls), which would reach terminals
// and listings as it is; no character that looks like a folder separator or maps to one
// (fullwidth and small solidus, division and fraction slash, solidus overlays), which would
// make one file pass for a path; no character that maps to a full stop, which can make a
// part read as "..", and no invisible character, which makes one name pass for another.
std::optional<std::string> stored_name_refusal(std::string_view stored_name, bool utf8);

// `stored_name` as UTF-8 that can be shown anywhere: every character that
// stored_name_refusal refuses is written as "<U+XXXX>", every byte that is not part of
// valid UTF-8 as "<0xXX>".
std::string shown_name(std::string_view stored_name, bool utf8);

// Whether the decoded DOS date and time name a real moment: month 1 to 12, a day that the
// month has, hour below 24, minute and second below 60.
bool stored_time_is_sound(int year, int month, int day, int hour, int minute, int second);

}  // namespace installer
