// The environment of the helper programs that velloc starts (the encryption
// adapter, and GnuPG behind it): a short list of variables that locate programs,
// key rings and the locale, never one that a web request can set (HTTP_*, ...).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// True for PATH, HOME, GNUPGHOME, LANG, LANGUAGE, TZ and the LC_* variables.
bool is_helper_variable(std::string_view name);

// The "NAME=value" entries of a null-terminated environment array (such as
// `environ`) whose names pass is_helper_variable, in their order.
std::vector<std::string> helper_environment(const char* const* environment);

}  // namespace platform
