// What a submission judged spam gets: the answer of an accepted one while no
// action runs and no receipt goes out, a log line that says why, and, with the
// archive on, a record with the status "spam" that `velloc --release` can act on.
#pragma once

#include <string>

struct Run;

// Logs `why` at type 5, records `check` (the check that judged it) in the run,
// keeps the submission as spam and ends the run with the response page.
[[noreturn]] void end_as_spam(Run& run, const std::string& check, const std::string& why);
