// The texts of the archive that are pure functions: its ids, its times as the
// operator reads and writes them (UTC, ISO 8601), and the test of whether a
// field value holds a mail address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// "YYYYMMDDHHMMSSmmm-xxxxxxxx": the UTC time in milliseconds, then `random` in
// hex, so that ids sort by time and two processes never make the same one.
std::string make_archive_id(std::int64_t milliseconds, std::uint32_t random);

// "YYYY-MM-DDTHH:MM:SSZ".
std::string iso_time(std::int64_t milliseconds);

// "YYYY-MM-DD" (its start, or with `day_end` the start of the next day) or a full
// time "YYYY-MM-DDTHH:MM[:SS[.fff]]" with "Z", "+HH:MM" or "-HH:MM" (none: UTC),
// as milliseconds since the epoch; nullopt for anything else.
std::optional<std::int64_t> parse_iso_time(std::string_view text, bool day_end);

// Whether `value` holds `address` as a whole address, without regard to ASCII
// case: not as part of a longer one ("ann@example.com" is not in
// "joann@example.com.au").
bool holds_address(std::string_view value, std::string_view address);

// A submission's status in the operator's words: "awaiting" (held until its visitor
// confirms) is shown as "awaiting confirmation", every other status as it is stored.
std::string_view shown_status(std::string_view status);
