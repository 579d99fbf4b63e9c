// The template language: one streaming pass over a template that writes to an
// output stream as it goes, against the request's fields and environment. The
// engine holds one line at a time and never fails. The caller opens and closes
// the template and the output; an expansion opens only the templates it
// includes, at most ten expansions deep across the run.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "velloc/request/cgi_request.h"
#include "velloc/templates/value_escape.h"

// Run-wide state shared by every expansion of the run (and by the includes of
// one).
struct TemplateState {
  int include_depth = 0;
  std::string pending_attachment;  // taken and cleared by the next mail
};

// Expands `input` into `output`; always true. Clears state.pending_attachment
// first. Arithmetic directives store into request.fields, which later templates
// and listings see. Field and environment values are written through `escape`,
// in the included templates too; with kCsv an absent field writes "" as well.
bool expand_template(std::istream& input, std::ostream& output, CgiRequest& request,
                     TemplateState& state, ValueEscape escape = ValueEscape::kNone);

// The truth of the text between the brackets of a condition.
bool evaluate_condition(std::string_view text, const CgiRequest& request);

// Reads the next line (without its line end: "\n", "\r\n" or a lone "\r"); a
// line longer than kMaxTemplateLine characters is split. False at the end of
// input.
bool read_template_line(std::istream& input, std::string& line);

inline constexpr std::size_t kMaxTemplateLine = 8000;
