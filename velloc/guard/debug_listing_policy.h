// Which environment variables the debug listing may show a visitor: the CGI
// meta-variables that a web server sets for every request, the request's own
// HTTP_ header variables and the unescaped form data the program derives from
// QUERY_STRING. Never the server's or the operator's other variables (passwords,
// key rings, file locations).
#pragma once

#include <string_view>

// True when the variable `name` (any case) may be listed.
bool may_list_variable(std::string_view name);
