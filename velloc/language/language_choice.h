// Which language a visitor is answered in: a pure decision over the profile's
// Language= and Languages= and the request's Accept-Language header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// `offered` (Languages=, in the owner's order, lower case) names the languages the
// visitor may choose among; each takes the quality of the most specific range of
// `accept_language` that matches it (the same tag; a range of a region or script of
// it, "de-CH" for "de"; a range it is a region of, "de" for "de-at"; then "*"). The
// best quality above 0 wins, the owner's order breaking ties; a language a range gives
// q=0 is never chosen. When none is acceptable, or nothing is offered, `fixed`
// (Language=) is the answer, else the first offered; empty: English.
std::string choose_language(std::string_view fixed, const std::vector<std::string>& offered,
                            std::string_view accept_language);

// The tags of a Languages= list: split at commas and blanks, lower case, each once.
std::vector<std::string> parse_language_list(std::string_view list);
