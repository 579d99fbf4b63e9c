#include "velloc/guard/captcha_step.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "platform/text.h"
#include "velloc/guard/captcha_answer.h"
#include "velloc/guard/challenge_step.h"
#include "velloc/guard/form_profile.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"
#include "velloc/webhook/http_client.h"

namespace {

constexpr int kVerifySeconds = 5;
// The providers' tokens run to about two thousand characters.
constexpr std::size_t kMaxToken = 8192;
constexpr char kFormEncoded[] = "application/x-www-form-urlencoded";

[[noreturn]] void refuse(Run& run, const char* provider, const std::string& why) {
  log_event(run.message, 1, "Captcha refused (%s): %s\n", provider, why.c_str());
  fail_request(run.message, kNotARobot, Reason::kChallenge);
}

bool is_https(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  return url.size() > kScheme.size() &&
         platform::equal_ignoring_case(url.substr(0, kScheme.size()), kScheme);
}

// Why the verifier could not be asked; empty when it answered, 429 and 5xx
// counting as not answering.
std::string not_reached(const HttpResult& result) {
  switch (result.transport) {
    case HttpResult::Transport::kAnswered:
      if (result.status == 429 || result.status >= 500)
        return "HTTP " + std::to_string(result.status);
      return {};
    case HttpResult::Transport::kTimedOut:
      return "timed out: " + result.error;
    default:
      return result.error.empty() ? std::string("no connection") : result.error;
  }
}

HttpResult call_verifier(const Run& run, const CaptchaSettings& settings, CaptchaProvider provider,
                         std::string_view token) {
  HttpPost post;
  post.url = settings.verify_url.empty() ? captcha_verify_url(provider) : settings.verify_url;
  post.content_type = kFormEncoded;
  post.body = captcha_verification_body(settings.secret, token, run.request.get_env("REMOTE_ADDR"));
  post.timeout_seconds = kVerifySeconds;
  post.ca_file = settings.ca_file;
  post.max_answer_bytes = kMaxCaptchaAnswer;
  return post_http(post);
}

void remove_token(Run& run, CaptchaProvider provider) {
  drop_checked_field(run, captcha_token_field(provider));
}

}  // namespace

std::string captcha_verification_body(std::string_view secret, std::string_view token,
                                      std::string_view remote_address) {
  std::string body =
      "secret=" + platform::percent_encode(secret) + "&response=" + platform::percent_encode(token);
  if (!remote_address.empty()) body += "&remoteip=" + platform::percent_encode(remote_address);
  return body;
}

void check_captcha(Run& run) {
  const CaptchaSettings& settings = run.settings.captcha;
  if (settings.kind.empty()) return;
  std::optional<CaptchaProvider> provider = captcha_provider_named(settings.kind);
  if (!provider) refuse(run, settings.kind.c_str(), "Captcha names no known provider");
  const char* name = captcha_provider_name(*provider);
  if (settings.secret.empty()) refuse(run, name, "Captcha set without CaptchaSecret");
  if (!settings.verify_url.empty() && !is_https(settings.verify_url))
    refuse(run, name, "CaptchaVerifyURL is not an https address");
  std::string token = run.request.get_field(captcha_token_field(*provider));
  if (platform::trim(token).empty()) refuse(run, name, "no token sent");
  if (token.size() > kMaxToken) refuse(run, name, "token too long");
  HttpResult result = call_verifier(run, settings, *provider, token);
  if (std::string why = not_reached(result); !why.empty()) {
    if (!settings.fail_open) refuse(run, name, "verifier not reached: " + why);
    log_event(run.message, 1, "Captcha not verified (%s), let through with CaptchaFailOpen=1: %s\n",
              name, why.c_str());
    return remove_token(run, *provider);
  }
  if (result.status < 200 || result.status > 299)
    refuse(run, name, "verifier answered HTTP " + std::to_string(result.status));
  if (result.body_too_large) refuse(run, name, "answer too large");
  CaptchaVerdict verdict = judge_captcha_answer(*provider, result.body, settings.min_score);
  std::string text = captcha_verdict_text(*provider, verdict, settings.min_score);
  if (verdict.check != CaptchaCheck::kPassed) refuse(run, name, text);
  log_event(run.message, 15, "Captcha passed (%s)%s%s\n", name, text.empty() ? "" : ": ",
            text.c_str());
  remove_token(run, *provider);
}
