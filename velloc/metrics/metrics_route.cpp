#include "velloc/metrics/metrics_route.h"

#include "velloc/metrics/metrics_access.h"
#include "velloc/metrics/metrics_text.h"
#include "velloc/metrics/process_metrics.h"
#include "velloc/request/event_log.h"
#include "velloc/site.h"

#ifndef VELLOC_VERSION
#define VELLOC_VERSION "unknown"
#endif

Answer not_found_answer() {
  Answer answer = Answer::of(Answer::Kind::kDocument);
  answer.status = 404;
  answer.content_type = "text/plain; charset=utf-8";
  answer.body = "Not Found\n";
  return answer;
}

Answer answer_metrics(Site& site, const settings::SiteSettings& settings,
                      const CgiRequest& request) {
  MetricsStore* store = site.metrics();
  if (store == nullptr) return not_found_answer();
  MetricsAllowList allow = default_metrics_allow();
  std::string error;
  // A list with a bad entry keeps its good ones; `velloc --check` names the bad one.
  if (settings.metrics_allow_set) {
    allow.clear();
    parse_metrics_allow(settings.metrics_allow, &allow, &error);
  }
  MetricsAccess access =
      decide_metrics_access(request.get_env("REMOTE_ADDR"), request.get_env("HTTP_AUTHORIZATION"),
                            allow, settings.metrics_token);
  if (access == MetricsAccess::kDenied) return not_found_answer();
  ProcessMetrics process;
  std::optional<ProcessMetrics> read;
  if (read_process_metrics(ProcessMetricsSource(), {}, &process, &error)) read = process;
  Answer answer = Answer::of(Answer::Kind::kDocument);
  answer.status = 200;
  answer.content_type = std::string(kMetricsContentType);
  answer.body = render_metrics(*store, site.metrics_gauges(), read, VELLOC_VERSION);
  return answer;
}
