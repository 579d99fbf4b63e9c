// HTML escaping for text that came from the request and is placed in a page that
// the program composes itself (never for template output).
#pragma once

#include <string>
#include <string_view>

// Replaces & < > " ' with their character references.
std::string html_escape(std::string_view text);
