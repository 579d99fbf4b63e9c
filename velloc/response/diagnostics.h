// The debug listing of fields and environment, and the debug mode that answers
// a request with it.
#pragma once

#include <iosfwd>
#include <string_view>

#include "velloc/request/cgi_request.h"

struct Run;

// "Form Data" and "Environment Variables" listings in map order, one
// "\t[NAME] = value" line per entry, names and values HTML-escaped. The
// environment listing holds only the variables the debug-listing policy allows.
void dump_fields(std::ostream& out, const CgiRequest& request);
void dump_environment(std::ostream& out, const CgiRequest& request);

// Step 4: when answers_with_debug_listing, logs and ends the run with the
// listing as its answer.
void run_debug_mode(Run& run);
