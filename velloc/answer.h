// What a run answers, as the steps decided it: a step that ends the run early
// throws RunEnded with its Answer, and the last step returns the Answer for a
// complete submission. Answers hold no bytes of any response format except a
// rendered template page; a responder (velloc/response/) turns them into the
// response.
#pragma once

#include <string>
#include <vector>

struct Answer {
  enum class Kind {
    kNothing,           // no response at all (a missing-fields template name refused)
    kInitFailure,       // the request could not be decoded within its limits
    kRefused,           // a step refused the submission
    kDebugListing,      // the fields and environment are listed
    kRedirect,          // the visitor is sent to `location`
    kPage,              // a form template page, rendered into `body`
    kTemplateNotFound,  // the form's web template at `location` could not be opened
    kConfirmation,      // the built-in confirmation page
  };
  Kind kind = Kind::kNothing;
  // kRefused: the HTTP status the refusal carries (0: none of its own) and, for
  // 429, the seconds after which the visitor may try again.
  int status = 0;
  int retry_after_seconds = 0;
  // kRefused: the page's text, request text in it already HTML-escaped.
  std::string message;
  // kRefused for required fields: the names that were left blank, as sent.
  std::vector<std::string> missing_fields;
  std::string location;
  std::string body;
  // kPage, kRedirect, kConfirmation: the submission's receipt number, when the form
  // asked for one (RECEIPT_NUMBER); empty otherwise.
  std::string receipt_number;

  static Answer of(Kind kind) {
    Answer answer;
    answer.kind = kind;
    return answer;
  }
};

// Thrown by a step that ends the run; the entry point catches it and hands the
// answer to the responder.
struct RunEnded {
  Answer answer;
};
