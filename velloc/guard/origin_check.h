// The steps of cross-origin requests: answering a preflight, noting the origin
// an answer may be read from, and refusing a request from an origin that
// AllowedOrigins does not allow. They ask origin_policy.h and act on its answer.
#pragma once

#include <string>
#include <string_view>

#include "velloc/answer.h"
#include "velloc/request/cgi_request.h"

struct Run;

// The request's Origin when `allowed_origins` allows it, else empty: for an answer
// given before the form profile is known (a request that could not be decoded).
std::string readable_origin(const CgiRequest& request, std::string_view allowed_origins);

// An OPTIONS request that carries Access-Control-Request-Method.
bool is_preflight(const CgiRequest& request);

// The answer to a preflight that is not allowed: 403, no CORS headers.
Answer refused_preflight();

// Part of loading the settings, once AllowedOrigins is known (the form profile
// applied): keeps in the run the origin its answers may be read from, and answers
// a preflight (allowed or not), ending the run before anything else is read.
void answer_preflight(Run& run);

// Step after the referer check: with AllowedOrigins set, a request whose Origin
// is neither allowed nor the site's own is logged and refused.
void check_request_origin(Run& run);
