// What a run answers, as the steps decided it: a step that ends the run early
// throws RunEnded with its Answer, and the last step returns the Answer for a
// complete submission. Answers hold no bytes of any response format except a
// rendered template page; a responder (velloc/response/) turns them into the
// response.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct InboxAnswer;

// Why a run was refused or failed, for responders that name it (the JSON answers'
// "error" codes). The HTML pages do not depend on it.
enum class Reason {
  kFailed,          // an action failed (template, encryption, temporary file, ...)
  kMissingFields,   // required fields left blank: `missing_fields`
  kReferer,         // the referring page is not allowed
  kRecipient,       // the form names a recipient that is not allowed
  kUnknownForm,     // the form profile is unknown (or missing while ProfilesOnly=1)
  kUploadType,      // an upload of a type that is not accepted
  kUploadSize,      // an upload over its size limit
  kTooLarge,        // the request is over MaxRequestSize, MaxFields or the upload limits
  kRateLimited,     // too many submissions: `retry_after_seconds`
  kDeliveryFailed,  // the form mail or the receipt could not be sent
  kBadRequest,      // the request could not be decoded (a malformed JSON body, ...)
  kOrigin,          // the request's Origin is not allowed
  kChallenge,       // the proof-of-work challenge was not solved, or cannot be checked
  kInvalidFields,   // fields failed the profile's checks: `field_errors`
};

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
    kPreflight,         // a cross-origin preflight (OPTIONS), allowed or not by `status`
    kChallenge,         // a new proof-of-work challenge, the JSON text in `body`
    kInbox,             // a page, download or refusal of the owner's inbox: `inbox`
    kDocument,          // `body` as it stands, of `content_type`, with `status`
    kNoFields,          // a request without any field: no submission; `location` names
                        // the health endpoint when there is one
    kNotice,            // a page of `heading` and `message` (visitor texts), with `status`
  };
  Kind kind = Kind::kNothing;
  // kRefused and kInitFailure: the HTTP status the answer carries (0: none of its
  // own; kInitFailure has one only for a body cut short) and, for
  // 429, the seconds after which the visitor may try again.
  int status = 0;
  int retry_after_seconds = 0;
  // kRefused and kInitFailure: why; kInitFailure with kBadRequest or kTooLarge
  // carries `message` (plain text) naming what was wrong.
  Reason reason = Reason::kFailed;
  // kRefused: the page's text, request text in it already HTML-escaped; kNotice: the
  // page's text, a visitor text.
  std::string message;
  // kNotice: the page's heading, a visitor text.
  std::string heading;
  // kRefused for required fields: the names that were left blank, as sent.
  std::vector<std::string> missing_fields;
  // kRefused for failed field checks: each field and its message (plain text), in
  // the order the form sent the fields.
  std::vector<std::pair<std::string, std::string>> field_errors;
  std::string location;
  std::string body;
  // kDocument: the type of `body` (the status is `status`).
  std::string content_type;
  // kPage, kRedirect, kConfirmation: the submission's receipt number, when the form
  // asked for one (RECEIPT_NUMBER); empty otherwise.
  std::string receipt_number;
  // Any kind: the origin a cross-origin request may read the answer from (the
  // request's own Origin, when AllowedOrigins allows it); empty: no CORS headers.
  std::string allow_origin;
  // kPreflight: the request headers the answer allows, as they will be listed.
  std::string allow_headers;
  // kInbox: what the inbox decided, written by its own responder.
  std::shared_ptr<const InboxAnswer> inbox;

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
