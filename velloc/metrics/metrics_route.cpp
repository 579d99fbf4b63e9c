#include "velloc/metrics/metrics_route.h"

#include "velloc/metrics/metrics_access.h"
#include "velloc/metrics/metrics_text.h"
#include "velloc/metrics/process_metrics.h"
#include "velloc/request/event_log.h"
#include "velloc/site.h"

#ifndef VELLOC_VERSION
#define VELLOC_VERSION "unknown"
#endif

namespace {

// The outbox as the archive holds it now, when deliveries are kept anywhere: its items by
// kind and state, and per kind how long the oldest due one has been due.
void add_outbox_gauges(Site& site, const settings::SiteSettings& settings, MetricsGauges& gauges) {
  if (!settings.archive_anywhere) return;
  std::string error;
  std::optional<std::vector<OutboxKind>> outbox = site.outbox(settings, &error);
  if (!outbox) return;
  for (const OutboxKind& kind : *outbox) {
    gauges.outbox_items.push_back({kind.kind, "due", static_cast<std::uint64_t>(kind.due)});
    gauges.outbox_items.push_back({kind.kind, "waiting", static_cast<std::uint64_t>(kind.waiting)});
    gauges.outbox_items.push_back({kind.kind, "claimed", static_cast<std::uint64_t>(kind.claimed)});
    gauges.outbox_oldest_age.push_back({kind.kind, kind.oldest_due_ms / 1000.0});
  }
}

}  // namespace

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
  MetricsGauges gauges = site.metrics_gauges();
  add_outbox_gauges(site, settings, gauges);
  answer.body = render_metrics(*store, gauges, read, VELLOC_VERSION);
  return answer;
}
