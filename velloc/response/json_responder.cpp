#include "velloc/response/json_responder.h"

#include <ostream>
#include <string>

#include "velloc/guard/debug_listing_policy.h"
#include "velloc/language/message_catalogue.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/request/html_escape.h"
#include "velloc/response/cors_headers.h"
#include "velloc/response/http_status.h"
#include "velloc/response/json_writer.h"

namespace {

constexpr char kContentType[] = "Content-Type: application/json; charset=utf-8\n";
constexpr int kOk = 200;
constexpr int kTooManyRequests = 429;

// The status and "error" code of a refusal or failure.
struct Failure {
  int status;
  const char* code;
};

Failure failure_of(Reason reason) {
  switch (reason) {
    case Reason::kFailed:
      return {500, "failed"};
    case Reason::kMissingFields:
      return {422, "missing_fields"};
    case Reason::kReferer:
      return {403, "referer"};
    case Reason::kRecipient:
      return {403, "recipient"};
    case Reason::kUnknownForm:
      return {404, "unknown_form"};
    case Reason::kUploadType:
      return {415, "upload_type"};
    case Reason::kUploadSize:
      return {413, "upload_size"};
    case Reason::kTooLarge:
      return {413, "too_large"};
    case Reason::kRateLimited:
      return {kTooManyRequests, "rate_limited"};
    case Reason::kDeliveryFailed:
      return {502, "delivery_failed"};
    case Reason::kBadRequest:
      return {400, "bad_request"};
    case Reason::kOrigin:
      return {403, "origin"};
    case Reason::kChallenge:
      return {403, "challenge"};
    case Reason::kInvalidFields:
      return {422, "invalid_fields"};
  }
  return {500, "failed"};
}

// What goes out: the status and the object.
struct Reply {
  int status = kOk;
  std::string body;
};

Reply accepted(const Answer& answer) {
  JsonObject object;
  object.add_bool("ok", true);
  if (!answer.receipt_number.empty()) object.add_string("receipt", answer.receipt_number);
  if (answer.kind == Answer::Kind::kRedirect) object.add_string("next", answer.location);
  if (answer.kind == Answer::Kind::kPage) object.add_string("html", answer.body);
  return {kOk, object.text()};
}

// The fields left blank, in the order REQUIRED names them.
std::string missing_field_list(const Answer& answer) {
  std::string list = "[";
  for (const std::string& name : answer.missing_fields) {
    if (list.size() > 1) list += ", ";
    list += JsonObject().add_string("field", name).add_string("code", "required").text();
  }
  return list + "]";
}

Reply failed(Failure failure, std::string_view message, const Answer& answer) {
  JsonObject object;
  object.add_bool("ok", false).add_string("error", failure.code).add_string("message", message);
  if (answer.reason == Reason::kMissingFields)
    object.add_json("errors", missing_field_list(answer));
  if (answer.reason == Reason::kInvalidFields) {
    JsonObject errors;
    for (const auto& [field, text] : answer.field_errors) errors.add_string(field, text);
    object.add_json("errors", errors.text());
  }
  return {failure.status, object.text()};
}

// A request too large or malformed to decode is the client's fault (413, 400); one that
// the server could not decode for a reason of its own (no temporary file for an upload)
// is a failure (500).
Reply init_failure(const Answer& answer, const MessageCatalogue* words) {
  std::string message = answer.message.empty() ? std::string(translate(words, text::kInitFailure))
                                               : localised_message(words, answer.message);
  return failed(failure_of(answer.reason), message, answer);
}

std::string listed_map(const TextMap& map, bool (*listed)(std::string_view name)) {
  JsonObject object;
  map.for_each([&](const std::string& name, const std::string& value) {
    if (listed(name)) object.add_string(name, value);
  });
  return object.text();
}

bool every_name(std::string_view) { return true; }

Reply debug_listing(const CgiRequest& request) {
  JsonObject object;
  object.add_json("fields", listed_map(request.fields, every_name));
  object.add_json("environment", listed_map(request.environment, may_list_variable));
  return {kOk, object.text()};
}

Reply no_fields(const Answer& answer, const MessageCatalogue* words) {
  JsonObject object;
  object.add_bool("ok", true).add_string("service", "velloc");
  object.add_string("message", translate(words, text::kNoFieldsMessage));
  if (!answer.location.empty()) object.add_string("health", answer.location);
  return {kOk, object.text()};
}

// A notice: its message, and when it refuses, an "error" code of the link it answers.
Reply notice(const Answer& answer, const MessageCatalogue* words) {
  JsonObject object;
  int status = answer.status == 0 ? kOk : answer.status;
  object.add_bool("ok", status < 400);
  if (status >= 400)
    object.add_string("error", status == 404   ? "link_invalid"
                               : status == 409 ? "link_used"
                               : status == 410 ? "link_expired"
                                               : "failed");
  object.add_string("message", translate(words, answer.message));
  return {status, object.text()};
}

Reply reply_for(const Answer& answer, const CgiRequest& request, const MessageCatalogue* words) {
  switch (answer.kind) {
    case Answer::Kind::kInitFailure:
      return init_failure(answer, words);
    case Answer::Kind::kRefused:
      return failed(failure_of(answer.reason),
                    html_to_text(localised_message(words, answer.message)), answer);
    case Answer::Kind::kDebugListing:
      return debug_listing(request);
    case Answer::Kind::kRedirect:
    case Answer::Kind::kPage:
    case Answer::Kind::kConfirmation:
      return accepted(answer);
    case Answer::Kind::kTemplateNotFound:
      return failed(failure_of(Reason::kFailed),
                    std::string(translate(words, text::kTemplateNotFound)) + ": " + answer.location,
                    answer);
    case Answer::Kind::kNoFields:
      return no_fields(answer, words);
    case Answer::Kind::kNotice:
      return notice(answer, words);
    case Answer::Kind::kNothing:
    case Answer::Kind::kDocument:
    case Answer::Kind::kPreflight:
    case Answer::Kind::kChallenge:
    case Answer::Kind::kInbox:
      break;
  }
  return failed(failure_of(Reason::kFailed), translate(words, text::kUnexpectedFailure), answer);
}

void write_status(std::ostream& out, int status, const Answer& answer) {
  out << "Status: " << status << ' ' << http_status_text(status) << '\n';
  if (status == kTooManyRequests) out << "Retry-After: " << answer.retry_after_seconds << '\n';
}

}  // namespace

void write_json_answer(std::ostream& out, const Answer& answer, const CgiRequest& request,
                       const MessageCatalogue* words) {
  if (answer.kind == Answer::Kind::kPreflight) return write_preflight_answer(out, answer);
  if (answer.kind == Answer::Kind::kChallenge) return write_challenge_answer(out, answer);
  Reply reply = reply_for(answer, request, words);
  write_status(out, reply.status, answer);
  write_cors_headers(out, answer);
  out << kContentType << '\n' << reply.body << '\n';
}
