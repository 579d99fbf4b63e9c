// The one line per request a collector counts (LogFormat=json only; the text log
// stays as it was): the route, the outcome as the JSON answer names it, why, and
// how long the request took. Written at level 1, so that the default LOG_LEVEL
// shows it, and with no value the visitor sent.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

#include "velloc/answer.h"
#include "velloc/metrics/metrics_labels.h"
#include "velloc/metrics/metrics_store.h"
#include "velloc/router.h"

struct Run;

// "accepted", "spam" (when `spam_check` names the check that judged it), the
// "error" code of a refusal or failure, or empty for an answer of the inbox,
// which has none of these.
std::string_view request_outcome(const Answer& answer, std::string_view spam_check);

// Why the outcome is not "accepted": the check that judged the submission spam, or
// how a refused run ended ("refused", "not_decoded", "template_not_found",
// "no_answer"); empty otherwise.
std::string_view request_reason(const Answer& answer, std::string_view spam_check);

// "form", "inbox", "challenge", "health" or "metrics", as the metrics name the routes.
std::string_view request_route(RequestRoute route);

// The outcome a submission is counted under; nullopt for an answer that is no
// submission (the debug listing, a challenge, a preflight, the inbox, a request
// without fields, a health or metrics document).
std::optional<Outcome> submission_outcome(const Answer& answer, std::string_view spam_check);

// Counts the run's request under its route and, for a submission, under its form (a
// profile the settings define by its name, an unknown one as "other") and outcome.
void count_request(MetricsStore& metrics, const Run& run, const Answer& answer);

// Milliseconds with three decimals: "0.412".
std::string duration_milliseconds(std::chrono::nanoseconds duration);

// Logs the "request" line of the run that ended with `answer`, when its log is JSON.
void log_request_summary(const Run& run, const Answer& answer);
