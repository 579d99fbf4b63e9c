// The template files of a run, resolved from the form's TEMPLATE_ fields under the
// template directory (step 6), and the required-field check (step 7).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "velloc/answer.h"
#include "velloc/request/cgi_request.h"
#include "velloc/templates/template_set.h"
#include "velloc/templates/value_escape.h"

struct Run;

// Step 6. A name containing ".." leaves its path empty.
bool resolve_template_paths(Run& run);

// Opens a page, mail or receipt template (web, missing-fields, mail, receipt)
// for reading. A path whose name the template-name policy refuses (a settings
// file) counts as one that cannot be opened.
bool open_form_template(const std::string& path, std::ifstream& in);

// The page template at `path` expanded against the run's request as a kPage
// answer; nullopt when it cannot be opened.
std::optional<Answer> render_form_template(Run& run, const std::string& path);

// How the web and missing-fields templates write values: HTML-escaped unless the
// settings turn it off (EscapeWebTemplates=0).
ValueEscape web_template_escape(const Run& run);

// The names REQUIRED lists whose fields are blank, in its order.
std::vector<std::string> missing_field_names(const CgiRequest& request);

// Fills `message` with the missing-fields text and returns how many fields named by
// REQUIRED are blank.
int list_missing_fields(const Run& run, std::string& message);

// An incomplete form's own answer in a page: the allowed REDIR_MISSING redirect or
// the missing-fields template, ending the run; returns when the form names neither.
// A script's JSON answer always lists the fields instead.
void answer_incomplete_page(Run& run);

// Step 7: answers an incomplete form (an allowed redirect, the missing-fields
// template or the failure page) and ends the run; otherwise defaults EMAIL and
// returns true.
bool check_required_fields(Run& run);
