// The metrics page: velloc's counters, the gauges its caller measured and the
// process metrics in the Prometheus text format (version 0.0.4). Writing is
// pure; the caller reads the store, the outbox and the processes and serves the
// text with kMetricsContentType.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/metrics/metrics_store.h"
#include "velloc/metrics/process_metrics.h"

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// What is measured at the moment of the scrape rather than counted.
struct MetricsGauges {
  struct OutboxItems {
    std::string kind;   // "form_mail", "receipt", "webhook"
    std::string state;  // "pending", "failed", ...
    std::uint64_t count = 0;
  };
  struct OutboxAge {
    std::string kind;
    double oldest_age_seconds = 0;  // since the oldest pending delivery fell due
  };
  struct Workers {
    std::string state;  // "busy", "idle", ...
    std::uint64_t count = 0;
  };
  std::vector<OutboxItems> outbox_items;
  std::vector<OutboxAge> outbox_oldest_age;
  std::vector<Workers> workers;
};

// A label value as the format quotes it: backslash, double quote and line feed
// escaped, and each byte that is no part of well-formed UTF-8 replaced by U+FFFD.
std::string escape_label_value(std::string_view value);

// The whole page: velloc_submissions_total{form,outcome} (every registered form
// with every outcome, zeros included, so that a first submission is an
// increase), velloc_request_duration_seconds{route}, velloc_deliveries_total
// {kind,result}, velloc_worker_restarts_total, the gauges, velloc_build_info
// {version} and, when given, the process_* metrics.
std::string render_metrics(const MetricsStore& store, const MetricsGauges& gauges,
                           const std::optional<ProcessMetrics>& process, std::string_view version);
