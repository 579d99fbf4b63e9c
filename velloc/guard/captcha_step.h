// The captcha of a form (Captcha=turnstile, hcaptcha or recaptcha in its profile
// or in [Velloc], with CaptchaSecret): the token that the provider's widget adds
// to the form is verified with the provider's verification call, over HTTPS,
// within five seconds, before anything is stored or sent.
#pragma once

#include <string>
#include <string_view>

struct Run;

struct CaptchaSettings {
  std::string kind;        // Captcha, trimmed; empty: no captcha
  std::string secret;      // CaptchaSecret
  double min_score = 0.5;  // CaptchaMinScore, held within 0 and 1
  std::string verify_url;  // CaptchaVerifyURL, trimmed; empty: the provider's own
  bool fail_open = false;  // CaptchaFailOpen=1: let through when not reached
  std::string ca_file;     // HTTP_CA_FILE of [Velloc]; empty: the system's trust store
};

// CaptchaMinScore: a number from 0 to 1 (held within them); anything else gives
// the default.
double parse_captcha_min_score(std::string_view text);

// The body of the verification call: "secret", "response" and, when the
// visitor's address is known, "remoteip", form-encoded.
std::string captcha_verification_body(std::string_view secret, std::string_view token,
                                      std::string_view remote_address);

// Step after the challenge: a form with a captcha must carry a token that the
// provider accepts, with a score (where the answer has one) of at least
// CaptchaMinScore; otherwise the run ends with "Please Confirm You Are Not a
// Robot!" and a log line naming the check that failed. A provider that cannot
// be reached refuses as well, unless CaptchaFailOpen=1 lets the submission
// through; the log says which. The token field is then removed, so that the
// listings do not show it.
void check_captcha(Run& run);
