// The reason phrase of each HTTP status velloc answers with.
#pragma once

#include <string_view>

// "OK", "Not Found", ...; "Internal Server Error" for a status it does not know.
std::string_view http_status_text(int status);
