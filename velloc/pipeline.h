// The twelve steps of a run in their fixed order. Exactly one response is written
// to `response` per run; the result is always 1, the process's exit status.
#pragma once

#include <iosfwd>

int run_velloc(std::ostream& response, const char* const* environment, std::istream& body);
