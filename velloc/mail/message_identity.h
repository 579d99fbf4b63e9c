// The two headers that identify every mail: the date it was written and a
// message id that no other mail shares.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// "Tue, 08 Dec 2026 13:05:09 +0100": local time with its offset from UTC.
std::string mail_date(std::time_t when);

// "<32 random hex digits@host>"; host is `helo_name`, or "localhost" when empty.
std::string new_message_id(std::string_view helo_name);
