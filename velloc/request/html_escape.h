// HTML escaping for text that came from the request and is placed in a page that
// the program composes itself, and for the values that page templates insert
// (see value_escape.h).
#pragma once

#include <string>
#include <string_view>

// Replaces & < > " ' with their character references.
std::string html_escape(std::string_view text);
