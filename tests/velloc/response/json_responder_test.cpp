#include "velloc/response/json_responder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

Answer answer_of(Answer::Kind kind, Reason reason = Reason::kFailed, const char* message = "") {
  Answer answer = Answer::of(kind);
  answer.reason = reason;
  answer.message = message;
  return answer;
}

Answer refused(Reason reason, const char* message = "No.") {
  return answer_of(Answer::Kind::kRefused, reason, message);
}

Answer with(Answer answer, const char* receipt, const char* location, const char* body) {
  answer.receipt_number = receipt;
  answer.location = location;
  answer.body = body;
  return answer;
}

Answer missing(std::vector<std::string> names) {
  Answer answer = refused(Reason::kMissingFields,
                          "<P>Form entry not complete, the following required fields are "
                          "incomplete:<P>\nname<BR>\n&lt;b&gt;<BR>\n");
  answer.missing_fields = std::move(names);
  return answer;
}

Answer too_many(int retry_after) {
  Answer answer = refused(Reason::kRateLimited, "Too many submissions.");
  answer.status = 429;
  answer.retry_after_seconds = retry_after;
  return answer;
}

Answer cross_origin(Answer answer) {
  answer.allow_origin = "https://a.example";
  return answer;
}

std::string refusal(const char* status, const char* code, const char* message = "No.") {
  return std::string(status) + "|{\"ok\": false, \"error\": \"" + code + "\", \"message\": \"" +
         message + "\"}";
}

// Every outcome as a script receives it: the status lines, then the object.
TEST(JsonResponder, EachOutcomeHasItsStatusAndObject) {
  using Kind = Answer::Kind;
  struct Case {
    Answer answer;
    const char* form;
    std::string expected;  // status lines, "|", the object; "" for no response
  };
  const Case cases[] = {
      {answer_of(Kind::kConfirmation), "FULLHEAD=1", "Status: 200 OK\n|{\"ok\": true}"},
      {with(answer_of(Kind::kConfirmation), "17", "", ""), "",
       "Status: 200 OK\n|{\"ok\": true, \"receipt\": \"17\"}"},
      {with(answer_of(Kind::kRedirect), "", "/thanks.htm?a=1&b=2", ""), "",
       "Status: 200 OK\n|{\"ok\": true, \"next\": \"/thanks.htm?a=1\\u0026b=2\"}"},
      {with(answer_of(Kind::kPage), "3", "", "<P>Thanks, \"Jo\"</P>\n"), "",
       "Status: 200 OK\n|{\"ok\": true, \"receipt\": \"3\", "
       "\"html\": \"\\u003cP\\u003eThanks, \\\"Jo\\\"\\u003c/P\\u003e\\n\"}"},
      {missing({"name", "<b>"}), "",
       "Status: 422 Unprocessable Content\n|{\"ok\": false, \"error\": \"missing_fields\", "
       "\"message\": \"Form entry not complete, the following required fields are incomplete:"
       "\\nname\\n\\u003cb\\u003e\", \"errors\": [{\"field\": \"name\", \"code\": \"required\"}, "
       "{\"field\": \"\\u003cb\\u003e\", \"code\": \"required\"}]}"},
      {refused(Reason::kReferer), "", refusal("Status: 403 Forbidden\n", "referer")},
      {refused(Reason::kRecipient), "", refusal("Status: 403 Forbidden\n", "recipient")},
      {refused(Reason::kOrigin), "", refusal("Status: 403 Forbidden\n", "origin")},
      {cross_origin(refused(Reason::kReferer)), "",
       refusal("Status: 403 Forbidden\nAccess-Control-Allow-Origin: https://a.example\n"
               "Vary: Origin\n",
               "referer")},
      {refused(Reason::kUnknownForm), "", refusal("Status: 404 Not Found\n", "unknown_form")},
      {refused(Reason::kUploadType, "File Not Accepted: a&lt;b&gt;&#39;&#x41;&#0;&bogus;<BR>"), "",
       refusal("Status: 415 Unsupported Media Type\n", "upload_type",
               "File Not Accepted: a\\u003cb\\u003e'A\xEF\xBF\xBD\\u0026bogus;")},
      {refused(Reason::kUploadSize), "", refusal("Status: 413 Content Too Large\n", "upload_size")},
      {refused(Reason::kTooLarge), "", refusal("Status: 413 Content Too Large\n", "too_large")},
      {too_many(42), "FULLHEAD=1",
       refusal("Status: 429 Too Many Requests\nRetry-After: 42\n", "rate_limited",
               "Too many submissions.")},
      {refused(Reason::kDeliveryFailed, "Error Sending Email!  Check log file!\n"), "",
       refusal("Status: 502 Bad Gateway\n", "delivery_failed",
               "Error Sending Email!  Check log file!")},
      {refused(Reason::kFailed, "Could Not Open <x"), "",
       refusal("Status: 500 Internal Server Error\n", "failed", "Could Not Open \\u003cx")},
      {refused(Reason::kBadRequest), "", refusal("Status: 400 Bad Request\n", "bad_request")},
      {answer_of(Kind::kInitFailure), "",
       refusal("Status: 500 Internal Server Error\n", "failed", "CGI Initialization Error")},
      {answer_of(Kind::kInitFailure, Reason::kBadRequest, "nested objects are not <fields>"), "",
       refusal("Status: 400 Bad Request\n", "bad_request",
               "nested objects are not \\u003cfields\\u003e")},
      {answer_of(Kind::kInitFailure, Reason::kTooLarge, "over MaxFields (3)"), "",
       refusal("Status: 413 Content Too Large\n", "too_large", "over MaxFields (3)")},
      {with(answer_of(Kind::kTemplateNotFound), "", "t\\<x>.htm", ""), "",
       refusal("Status: 500 Internal Server Error\n", "failed",
               "Web Template File Not Found: t\\\\\\u003cx\\u003e.htm")},
      {answer_of(Kind::kNothing), "",
       refusal("Status: 500 Internal Server Error\n", "failed", "Internal Error!")},
      // A preflight is answered the same whatever the format: here a refused one.
      {answer_of(Kind::kPreflight), "", "Status: 403 Forbidden\n\n"},
  };
  for (const Case& c : cases) {
    CgiRequest request;
    parse_form_data(c.form, ", ", request.fields);
    std::ostringstream out;
    write_json_answer(out, c.answer, request);
    std::string expected = c.expected;
    std::size_t bar = expected.find('|');
    if (bar != std::string::npos)
      expected.replace(bar, 1, "Content-Type: application/json; charset=utf-8\n\n").append("\n");
    EXPECT_EQ(expected, out.str())
        << static_cast<int>(c.answer.kind) << " " << static_cast<int>(c.answer.reason);
  }
}

// The same fields and variables as the page's listing, their text unescaped.
TEST(JsonResponder, DebugListingHoldsFieldsAndListedEnvironment) {
  CgiRequest request;
  parse_form_data("name=Ann+%3Cb%3E&DEBUG_VARIABLES=1", ", ", request.fields);
  request.environment.set("HTTP_ACCEPT", "application/json");
  request.environment.set("SMTP_PASSWORD", "secret");
  std::ostringstream out;
  write_json_answer(out, Answer::of(Answer::Kind::kDebugListing), request);
  EXPECT_EQ(
      "Status: 200 OK\nContent-Type: application/json; charset=utf-8\n\n"
      "{\"fields\": {\"DEBUG_VARIABLES\": \"1\", \"NAME\": \"Ann \\u003cb\\u003e\"}, "
      "\"environment\": {\"HTTP_ACCEPT\": \"application/json\"}}\n",
      out.str());
}

}  // namespace
