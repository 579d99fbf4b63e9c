#include "velloc/guard/captcha_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  std::string answer;
  CaptchaCheck check;
  std::string log;  // captcha_verdict_text at a minimum score of 0.5
};

void expect_verdicts(CaptchaProvider provider, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    CaptchaVerdict verdict = judge_captcha_answer(provider, c.answer, 0.5);
    EXPECT_EQ(c.check, verdict.check) << c.answer.substr(0, 200);
    EXPECT_EQ(c.log, captcha_verdict_text(provider, verdict, 0.5)) << c.answer.substr(0, 200);
  }
}

const std::string kHuge =
    "{\"success\":true,\"pad\":\"" + std::string(kMaxCaptchaAnswer, 'x') + "\"}";
const std::string kDeep = std::string(5000, '[') + std::string(5000, ']');

TEST(CaptchaAnswer, Turnstile) {
  using enum CaptchaCheck;
  // clang-format off
  expect_verdicts(CaptchaProvider::kTurnstile, {
      {R"({"success":true,"error-codes":[],"challenge_ts":"2024-05-01T10:00:00.000Z","hostname":"example.com","action":"","cdata":""})", kPassed, "solved on example.com"},
      {R"({"success":true})", kPassed, ""},  // hostname absent
      {R"({"success":true,"hostname":"a\nb c\u0000"})", kPassed, "solved on abc"},
      {R"({"success":true,"score":0.1})", kPassed, ""},  // no score of its own: not read
      {R"({"success":false,"error-codes":["invalid-input-response"]})", kRejected, "token rejected (invalid-input-response)"},
      {R"({"success":false,"error-codes":["timeout-or-duplicate","internal-error"]})", kRejected, "token rejected (timeout-or-duplicate, internal-error)"},
      {R"({"success":false,"error-codes":"invalid-input-secret"})", kRejected, "token rejected (no error codes)"},
      {R"({"success":false,"error-codes":["bad\ncode\u0007 x",7,{"a":"b"},["nested"]]})", kRejected, "token rejected (badcodex)"},
      {R"({"success":false})", kRejected, "token rejected (no error codes)"},
      {R"({"success":"true"})", kMalformed, "answer not understood"},
      {R"({"success":1})", kMalformed, "answer not understood"},
      {R"({"success":null})", kMalformed, "answer not understood"},
      {R"({"success":[true]})", kMalformed, "answer not understood"},
      {R"({"success":true,"success":false})", kMalformed, "answer not understood"},
      {R"({"hostname":"example.com"})", kMalformed, "answer not understood"},
      {R"({"nested":{"success":true}})", kMalformed, "answer not understood"},
      {R"([{"success":true}])", kMalformed, "answer not understood"},
      {R"("success")", kMalformed, "answer not understood"},
      {R"({"success":true} trailing)", kMalformed, "answer not understood"},
      {R"({"success":true)", kMalformed, "answer not understood"},
      {"<html>Bad gateway</html>", kMalformed, "answer not understood"},
      {"", kMalformed, "answer not understood"},
      {"{\"success\":true,\"hostname\":\"\xff\"}", kMalformed, "answer not understood"},
      {kHuge, kMalformed, "answer not understood"},
      {"{\"success\":true,\"x\":" + kDeep + "}", kPassed, ""},
  });
  // clang-format on
}

TEST(CaptchaAnswer, Recaptcha) {
  using enum CaptchaCheck;
  // clang-format off
  expect_verdicts(CaptchaProvider::kRecaptcha, {
      {R"({"success":true,"challenge_ts":"2024-05-01T10:00:00Z","hostname":"example.com"})", kPassed, "solved on example.com"},  // v2
      {R"({"success":true,"score":0.9,"action":"submit","hostname":"example.com"})", kPassed, "solved on example.com, score 0.9"},
      {R"({"success":true,"score":0.5})", kPassed, "score 0.5"},
      {R"({"success":true,"score":1})", kPassed, "score 1"},
      {R"({"success":true,"score":0.3,"action":"submit"})", kLowScore, "score 0.3 under 0.5"},
      {R"({"success":true,"score":0})", kLowScore, "score 0 under 0.5"},
      {R"({"success":false,"error-codes":["invalid-input-response"],"score":0.9})", kRejected, "token rejected (invalid-input-response)"},
      {R"({"success":true,"score":"0.9"})", kMalformed, "answer not understood"},
      {R"({"success":true,"score":null})", kMalformed, "answer not understood"},
      {R"({"success":true,"score":1.5})", kMalformed, "answer not understood"},
      {R"({"success":true,"score":-0.1})", kMalformed, "answer not understood"},
      {R"({"success":true,"score":0.9,"score":0.9})", kMalformed, "answer not understood"},
      {R"({"success":true,"score":1e999})", kMalformed, "answer not understood"},
  });
  // clang-format on
}

TEST(CaptchaAnswer, HcaptchaScoreIsARisk) {
  using enum CaptchaCheck;
  // clang-format off
  expect_verdicts(CaptchaProvider::kHcaptcha, {
      {R"({"success":true,"challenge_ts":"2024-05-01T10:00:00Z","hostname":"example.com","credit":false})", kPassed, "solved on example.com"},
      {R"({"success":true,"score":0.1,"score_reason":["safe"]})", kPassed, "score 0.1"},
      {R"({"success":true,"score":0.5})", kPassed, "score 0.5"},
      {R"({"success":true,"score":0.8,"score_reason":["automation"]})", kLowScore, "risk score 0.8 over 0.5"},
      {R"({"success":false,"error-codes":["sitekey-secret-mismatch"]})", kRejected, "token rejected (sitekey-secret-mismatch)"},
      {R"({"success":true,"score":true})", kMalformed, "answer not understood"},
      {R"({"success":true,"score":{"value":0.1}})", kMalformed, "answer not understood"},
  });
  // clang-format on
}

TEST(CaptchaAnswer, MinScoreBoundsAndProviders) {
  std::string answer = R"({"success":true,"score":0.7})";
  EXPECT_EQ(CaptchaCheck::kPassed,
            judge_captcha_answer(CaptchaProvider::kRecaptcha, answer, 0.7).check);
  EXPECT_EQ(CaptchaCheck::kLowScore,
            judge_captcha_answer(CaptchaProvider::kRecaptcha, answer, 0.71).check);
  EXPECT_EQ(CaptchaCheck::kPassed,
            judge_captcha_answer(CaptchaProvider::kHcaptcha, answer, 0.3).check);
  EXPECT_EQ(CaptchaCheck::kLowScore,
            judge_captcha_answer(CaptchaProvider::kHcaptcha, answer, 0.31).check);
  EXPECT_EQ(
      CaptchaCheck::kPassed,
      judge_captcha_answer(CaptchaProvider::kRecaptcha, R"({"success":true,"score":0})", 0).check);
  EXPECT_EQ(CaptchaProvider::kHcaptcha, captcha_provider_named(" HCaptcha "));
  EXPECT_EQ(std::nullopt, captcha_provider_named("altcha"));
  EXPECT_STREQ("cf-turnstile-response", captcha_token_field(CaptchaProvider::kTurnstile));
}

}  // namespace
