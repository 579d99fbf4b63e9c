#include "velloc/request_summary.h"

#include <cstdio>
#include <vector>

#include "velloc/metrics/metrics_labels.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

constexpr int kPreflightRefused = 403;

}  // namespace

std::string_view request_outcome(const Answer& answer, std::string_view spam_check) {
  switch (answer.kind) {
    case Answer::Kind::kInitFailure:
    case Answer::Kind::kRefused:
      return outcome_name(outcome_of(answer.reason));
    case Answer::Kind::kNothing:
    case Answer::Kind::kTemplateNotFound:
      return outcome_name(Outcome::kFailed);
    case Answer::Kind::kPreflight:
      return answer.status == kPreflightRefused ? outcome_name(Outcome::kOrigin)
                                                : outcome_name(Outcome::kAccepted);
    case Answer::Kind::kInbox:
    case Answer::Kind::kNoFields:
    case Answer::Kind::kDocument:
      return {};
    case Answer::Kind::kNotice:  // a submission awaiting confirmation, or a link's page
      if (answer.status >= 400) return {};
      break;
    case Answer::Kind::kRedirect:
    case Answer::Kind::kPage:
    case Answer::Kind::kConfirmation:
    case Answer::Kind::kDebugListing:
    case Answer::Kind::kChallenge:
      break;
  }
  return spam_check.empty() ? outcome_name(Outcome::kAccepted) : outcome_name(Outcome::kSpam);
}

std::string_view request_reason(const Answer& answer, std::string_view spam_check) {
  switch (answer.kind) {
    case Answer::Kind::kInitFailure:
      return "not_decoded";
    case Answer::Kind::kRefused:
      return "refused";
    case Answer::Kind::kTemplateNotFound:
      return "template_not_found";
    case Answer::Kind::kNothing:
      return "no_answer";
    default:
      return spam_check;
  }
}

Route metrics_route(RequestRoute route) {
  switch (route) {
    case RequestRoute::kInbox:
      return Route::kInbox;
    case RequestRoute::kChallenge:
      return Route::kChallenge;
    case RequestRoute::kLiveness:
    case RequestRoute::kReadiness:
      return Route::kHealth;
    case RequestRoute::kMetrics:
      return Route::kMetrics;
    case RequestRoute::kForm:
    case RequestRoute::kConfirm:  // the end of a submission's run
      break;
  }
  return Route::kForm;
}

std::string_view request_route(RequestRoute route) { return route_name(metrics_route(route)); }

std::optional<Outcome> submission_outcome(const Answer& answer, std::string_view spam_check) {
  switch (answer.kind) {
    case Answer::Kind::kDebugListing:
    case Answer::Kind::kChallenge:
    case Answer::Kind::kPreflight:
    case Answer::Kind::kInbox:
    case Answer::Kind::kNoFields:
    case Answer::Kind::kDocument:
      return std::nullopt;
    default:
      return outcome_named(request_outcome(answer, spam_check));
  }
}

void count_request(MetricsStore& metrics, const Run& run, const Answer& answer) {
  metrics.observe_duration(metrics_route(run.route),
                           std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now() - run.message.began));
  if (run.route != RequestRoute::kForm) return;
  std::optional<Outcome> outcome = submission_outcome(answer, run.spam_check);
  if (!outcome) return;
  std::string profile = form_profile_name(run.settings);
  FormSlot form = kNoProfileSlot;
  if (!profile.empty())
    form = metrics.form_slot(profile);
  else if (*outcome == Outcome::kUnknownForm)
    form = kOtherProfileSlot;
  metrics.count_submission(form, *outcome);
}

std::string duration_milliseconds(std::chrono::nanoseconds duration) {
  long long microseconds = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  if (microseconds < 0) microseconds = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", microseconds / 1000, microseconds % 1000);
  return text;
}

void log_request_summary(const Run& run, const Answer& answer) {
  const LogContext& log = run.message;
  if (log.log_format != LogFormat::kJson) return;
  std::string_view outcome = request_outcome(answer, run.spam_check);
  std::string_view reason = request_reason(answer, run.spam_check);
  std::string duration = duration_milliseconds(std::chrono::steady_clock::now() - log.began);
  std::vector<LogMember> members = {{"route", std::string(request_route(run.route))}};
  if (!outcome.empty()) members.push_back({"outcome", std::string(outcome)});
  if (!reason.empty()) members.push_back({"reason", std::string(reason)});
  members.push_back({"duration_ms", duration, true});
  log_record(log, LogEvent::kRequest, 1, members, {});
}
