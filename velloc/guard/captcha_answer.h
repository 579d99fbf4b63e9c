// The captcha providers whose widgets a form may carry, and the judgement of a
// provider's answer to the verification call: whether the visitor's token
// passed, and if not, why. Pure: the answer's text in, a verdict out; the call
// itself is made by the captcha step.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

enum class CaptchaProvider { kTurnstile, kHcaptcha, kRecaptcha };

// "turnstile", "hcaptcha" or "recaptcha", any case, blanks around it ignored.
std::optional<CaptchaProvider> captcha_provider_named(std::string_view name);
// The name as above, lower case, for the log.
const char* captcha_provider_name(CaptchaProvider provider);
// The field the provider's widget adds to the form, holding the visitor's token.
const char* captcha_token_field(CaptchaProvider provider);
// The provider's own verification address.
const char* captcha_verify_url(CaptchaProvider provider);

// Longer answers are not read: no provider's answer comes near it.
inline constexpr std::size_t kMaxCaptchaAnswer = 16 * 1024;
// reCAPTCHA's own suggestion for a site that has not looked at its scores yet.
inline constexpr double kDefaultCaptchaMinScore = 0.5;

enum class CaptchaCheck {
  kPassed,
  kRejected,   // "success": false
  kLowScore,   // passed, but the score says robot more than CaptchaMinScore allows
  kMalformed,  // not a JSON object with a boolean "success", or a score outside 0..1
};

struct CaptchaVerdict {
  CaptchaCheck check = CaptchaCheck::kMalformed;
  std::string error_codes;      // the answer's "error-codes", ", "-joined, for the log
  std::optional<double> score;  // the score as the provider gave it, when it gave one
  std::string hostname;         // where the widget was solved, when the answer says
};

// Judges the answer to a verification call. A score is read from reCAPTCHA
// (v3: 1.0 a person, 0.0 a robot) and from hCaptcha (Enterprise: a risk, 1.0 a
// robot, so its complement is compared); a Turnstile answer carries none. An
// answer without a score passes on "success" alone.
CaptchaVerdict judge_captcha_answer(CaptchaProvider provider, std::string_view answer,
                                    double min_score);

// The verdict for the log: what a passed one says ("solved on example.com,
// score 0.9", empty when nothing), or why it refused the token: "token rejected
// (invalid-input-response)", "score 0.1 under 0.5", "answer not understood".
std::string captcha_verdict_text(CaptchaProvider provider, const CaptchaVerdict& verdict,
                                 double min_score);
