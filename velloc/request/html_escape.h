// HTML escaping for text that came from the request and is placed in a page that
// the program composes itself, and for the values that page templates insert
// (see value_escape.h).
#pragma once

#include <string>
#include <string_view>

// Replaces & < > " ' with their character references.
std::string html_escape(std::string_view text);

// The plain text of a fragment the program composed (a refusal's page text):
// tags dropped, character references decoded (the five above, and numeric ones;
// one naming no character becomes U+FFFD), surrounding white space trimmed. A "<"
// that no ">" closes, and an unknown reference, stay as they are.
std::string html_to_text(std::string_view html);
