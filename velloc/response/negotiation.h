// Which format a run answers in: HTML pages, or JSON for a form posted from a
// script. A pure decision over the request's Accept and Content-Type headers and
// the form's Response setting; the run keeps the result (Run::answer_format).
#pragma once

#include <string_view>

enum class AnswerFormat { kHtml, kJson };

// True when `accept` (an HTTP Accept header) gives application/json a higher
// quality than text/html. Each type takes the quality of the most specific range
// that matches it (an exact type, then "type/*", then "*/*"); a type no range
// matches, or one whose range says q=0, is not acceptable. Ties, "*/*" alone and
// an empty header mean HTML.
bool accept_prefers_json(std::string_view accept);

// JSON when the Accept header prefers it, when the body is JSON, or when
// `response_setting` (the profile's or the settings' Response) is "json" in any
// case; HTML otherwise.
AnswerFormat choose_answer_format(std::string_view accept, std::string_view content_type,
                                  std::string_view response_setting);
