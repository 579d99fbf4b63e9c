// The failure page, the debug listing of fields and environment, and the debug
// mode that answers a request with them.
#pragma once

#include <iosfwd>
#include <string_view>

#include "velloc/request/cgi_request.h"

struct Run;

// Writes the failure page (page head, then the message as given: callers escape
// any request text they put in it), logs "Velloc Failed: " and the message at
// type 1, and ends the run by throwing RunEnded.
[[noreturn]] void fail_request(Run& run, std::string_view message);
// The same for a message that holds request text: the page shows `page_message`
// (that text escaped), the log `log_message`.
[[noreturn]] void fail_request(Run& run, std::string_view page_message,
                               std::string_view log_message);

// "Form Data" and "Environment Variables" listings in map order, one
// "\t[NAME] = value" line per entry, names and values HTML-escaped. The
// environment listing holds only the variables the debug-listing policy allows.
void dump_fields(std::ostream& out, const CgiRequest& request);
void dump_environment(std::ostream& out, const CgiRequest& request);

// True when step 4 answers this request: DEBUG_VARIABLES is set and the settings
// do not switch the listing off (AllowDebug=0). Needs the settings read.
bool answers_with_debug_listing(const Run& run);

// Step 4: when answers_with_debug_listing, writes the listings, logs and ends
// the run.
void run_debug_mode(Run& run);
