// Following a redirect that a form field names (REDIRECT, REDIR_MISSING): the
// redirect policy decides, and an address it refuses counts as not set, so the
// caller goes on with its next rule.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "velloc/guard/redirect_policy.h"

struct Run;

// The hosts this request and the settings allow a redirect to name.
RedirectHosts allowed_redirect_hosts(const Run& run);

// When `field` is set and the policy follows its address: the address. When the
// policy refuses it: logs "Redirect not allowed: %s\n" (type 1) and returns
// nullopt. A blank field returns nullopt.
std::optional<std::string> form_redirect_target(const Run& run, std::string_view field);
