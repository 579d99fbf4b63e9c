// The twelve steps of a run in their fixed order. Exactly one response is written
// to `response` per run; the result is always 1, the process's exit status.
#pragma once

#include <iosfwd>

namespace platform {
class TempFileRegistry;
}

// `temp_files`, when given, lists the run's temporary files for the entry point's cleanup
// after a termination signal; it must outlive the call.
int run_velloc(std::ostream& response, const char* const* environment, std::istream& body,
               platform::TempFileRegistry* temp_files = nullptr);
