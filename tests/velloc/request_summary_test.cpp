#include "velloc/request_summary.h"

#include <gtest/gtest.h>

namespace {

Answer answer(Answer::Kind kind, Reason reason = Reason::kFailed, int status = 0) {
  Answer made = Answer::of(kind);
  made.reason = reason;
  made.status = status;
  return made;
}

TEST(RequestSummary, OutcomeReasonAndRoute) {
  using K = Answer::Kind;
  struct Case {
    Answer answer;
    std::string spam_check;
    std::string expected;  // route outcome reason
    RequestRoute route = RequestRoute::kForm;
  };
  const Case cases[] = {
      {answer(K::kConfirmation), "", "form accepted "},
      {answer(K::kRedirect), "", "form accepted "},
      {answer(K::kPage), "honeypot", "form spam honeypot"},
      {answer(K::kConfirmation), "spam_filter", "form spam spam_filter"},
      {answer(K::kRefused, Reason::kReferer), "", "form referer refused"},
      {answer(K::kRefused, Reason::kRateLimited), "", "form rate_limited refused"},
      {answer(K::kInitFailure, Reason::kTooLarge), "", "form too_large not_decoded"},
      {answer(K::kTemplateNotFound), "", "form failed template_not_found"},
      {answer(K::kNothing), "", "form failed no_answer"},
      {answer(K::kPreflight, Reason::kFailed, 403), "", "form origin "},
      {answer(K::kPreflight, Reason::kFailed, 204), "", "form accepted "},
      {answer(K::kChallenge), "", "challenge accepted ", RequestRoute::kChallenge},
      {answer(K::kInbox), "", "inbox  ", RequestRoute::kInbox},
      {answer(K::kNoFields), "", "form  "},
      {answer(K::kDocument), "", "health  ", RequestRoute::kReadiness},
  };
  for (const Case& c : cases) {
    std::string got = std::string(request_route(c.route)) + " " +
                      std::string(request_outcome(c.answer, c.spam_check)) + " " +
                      std::string(request_reason(c.answer, c.spam_check));
    EXPECT_EQ(c.expected, got);
  }
}

TEST(RequestSummary, DurationInMillisecondsToTheMicrosecond) {
  using std::chrono::microseconds;
  EXPECT_EQ("0.000", duration_milliseconds(microseconds(0)));
  EXPECT_EQ("0.412", duration_milliseconds(microseconds(412)));
  EXPECT_EQ("1234.005", duration_milliseconds(microseconds(1234005)));
  EXPECT_EQ("0.000", duration_milliseconds(microseconds(-3)));
}

}  // namespace
