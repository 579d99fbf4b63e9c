#include "velloc/guard/origin_check.h"

#include "velloc/guard/origin_policy.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

using text::kOriginNotAllowed;
constexpr int kNoContent = 204;
constexpr int kForbidden = 403;

SiteAddress site_address(const CgiRequest& request) {
  return SiteAddress{request.get_env("HTTPS"), request.get_env("REQUEST_SCHEME"),
                     request.get_env("HTTP_HOST"), request.get_env("SERVER_NAME"),
                     request.get_env("SERVER_PORT")};
}

OriginDecision decide_request_origin(const CgiRequest& request, std::string_view allowed_origins) {
  return decide_origin(request.get_env("HTTP_ORIGIN"), allowed_origins,
                       site_origin(site_address(request)));
}

OriginDecision decide_request_origin(const Run& run) {
  return decide_request_origin(run.request, run.settings.allowed_origins);
}

}  // namespace

std::string readable_origin(const CgiRequest& request, std::string_view allowed_origins) {
  if (decide_request_origin(request, allowed_origins) != OriginDecision::kAllowed) return {};
  return request.get_env("HTTP_ORIGIN");
}

bool is_preflight(const CgiRequest& request) {
  return request.get_env("REQUEST_METHOD") == "OPTIONS" &&
         !request.get_env("HTTP_ACCESS_CONTROL_REQUEST_METHOD").empty();
}

Answer refused_preflight() {
  Answer answer = Answer::of(Answer::Kind::kPreflight);
  answer.status = kForbidden;
  answer.reason = Reason::kOrigin;
  return answer;
}

void answer_preflight(Run& run) {
  bool allowed = decide_request_origin(run) == OriginDecision::kAllowed;
  if (allowed) run.allow_origin = run.request.get_env("HTTP_ORIGIN");
  if (!is_preflight(run.request)) return;
  if (!allowed) {
    log_event(run.message, 1, "Preflight from an origin not allowed: %s\n",
              run.request.get_env("HTTP_ORIGIN").c_str());
    throw RunEnded{refused_preflight()};
  }
  Answer answer = Answer::of(Answer::Kind::kPreflight);
  answer.status = kNoContent;
  answer.allow_origin = run.allow_origin;
  answer.allow_headers =
      preflight_allowed_headers(run.request.get_env("HTTP_ACCESS_CONTROL_REQUEST_HEADERS"));
  throw RunEnded{answer};
}

void check_request_origin(Run& run) {
  if (decide_request_origin(run) != OriginDecision::kRefused) return;
  log_event(run.message, 1, "Origin not allowed: %s\n", run.request.get_env("HTTP_ORIGIN").c_str());
  Answer refusal = Answer::of(Answer::Kind::kRefused);
  refusal.status = kForbidden;
  refusal.reason = Reason::kOrigin;
  refusal.message = kOriginNotAllowed;
  fail_request(run.message, refusal);
}
