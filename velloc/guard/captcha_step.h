// The captcha of a form (Captcha=turnstile, hcaptcha or recaptcha in its profile
// or in [Velloc], with CaptchaSecret): the token that the provider's widget adds
// to the form is verified with the provider's verification call, over HTTPS,
// within five seconds, before anything is stored or sent.
#pragma once

#include <string>
#include <string_view>

#include "velloc/guard/robot_settings.h"

struct Run;

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
