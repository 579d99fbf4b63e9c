// The honeypot: a form field hidden from people, named by HoneypotField in
// [Velloc] or in the form profile. Robots fill it in; such a submission gets the
// answer of a successful one while nothing is stored or sent.
#pragma once

#include <optional>
#include <string>

#include "velloc/request/cgi_request.h"

struct Run;

// True when a honeypot field is named and the request holds a value for it.
bool honeypot_filled(const std::optional<std::string>& field_name, const CgiRequest& request);

// Step after the required-field check: a filled honeypot is logged at type 5 and
// answered with the response page, ending the run; an empty one is removed from
// the fields, so that the listings do not show it.
void drop_honeypot_submission(Run& run);
