// Which environment variables the debug listing may show a visitor: the CGI
// meta-variables that a web server sets for every request, the request's own
// HTTP_ header variables and the unescaped form data the program derives from
// QUERY_STRING. Never the server's or the operator's other variables (passwords,
// key rings, file locations).
#pragma once

#include <string_view>

#include "velloc/request/cgi_request.h"

// True when the variable `name` (any case) may be listed.
bool may_list_variable(std::string_view name);

// True when the request is answered with the debug listing: DEBUG_VARIABLES is
// set and the settings do not switch the listing off (AllowDebug=0).
bool answers_with_debug_listing(bool allow_debug, const CgiRequest& request);
