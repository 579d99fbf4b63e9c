// The steps of a run in their fixed order. Exactly one response is written to
// `response` per run; the result is always 1, the CGI program's exit status. The
// Site is the process's and outlives the run; a long-lived server calls
// serve_request once per request, one request at a time per Site.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "velloc/site.h"

int serve_request(Site& site, const char* const* environment, std::istream& body,
                  std::ostream& response);

// The CGI program's run: serve_request for the one request of the process.
int run_velloc(Site& site, std::ostream& response, const char* const* environment,
               std::istream& body);
