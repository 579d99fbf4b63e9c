#include "velloc/metrics/metrics_text.h"

#include <charconv>
#include <cmath>

#include "velloc/response/json_writer.h"

namespace {

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

void append_quoted_bytes(std::string& out, std::string_view value) {
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

// The format wants UTF-8: a profile name in another encoding (a settings file
// written in Latin-1) gets U+FFFD for its bytes rather than spoiling the page.
void append_escaped(std::string& out, std::string_view value) {
  if (is_ascii(value)) {
    append_quoted_bytes(out, value);
  } else {
    append_quoted_bytes(out, valid_utf8(value));
  }
}

// Writes the lines of one metric family.
class Family {
 public:
  Family(std::string& out, std::string_view name, std::string_view type, std::string_view help)
      : out_(out), name_(name) {
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }

  // A sample "NAME[suffix]{labels} value"; `labels` are (name, value) pairs.
  template <typename Value>
  void sample(std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
              Value value, std::string_view suffix = {}) {
    out_.append(name_).append(suffix);
    char separator = '{';
    for (const auto& [label, text] : labels) {
      out_.push_back(separator);
      out_.append(label).append("=\"");
      append_escaped(out_, text);
      out_.push_back('"');
      separator = ',';
    }
    if (separator == ',') out_.push_back('}');
    out_.push_back(' ');
    append_number(value);
    out_.push_back('\n');
  }

 private:
  void append_number(std::uint64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
  }
  void append_number(double value) {
    if (std::isnan(value)) {
      out_.append("NaN");
    } else if (std::isinf(value)) {
      out_.append(value > 0 ? "+Inf" : "-Inf");
    } else {
      char buffer[32];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
      out_.append(buffer, result.ptr);
    }
  }

  std::string& out_;
  std::string_view name_;
};

std::string format_bound(double bound) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, bound);
  return std::string(buffer, result.ptr);
}

void write_submissions(std::string& out, const MetricsStore& store) {
  Family family(out, "velloc_submissions_total", "counter",
                "Submissions by form profile and outcome.");
  std::size_t slots = store.form_slot_count();
  for (FormSlot form = 0; form < slots; ++form) {
    std::string_view name = store.form_name(form);
    if (name.empty()) continue;
    for (std::size_t o = 0; o < kOutcomeCount; ++o) {
      Outcome outcome = static_cast<Outcome>(o);
      family.sample({{"form", name}, {"outcome", outcome_name(outcome)}},
                    store.submissions(form, outcome));
    }
  }
}

void write_durations(std::string& out, const MetricsStore& store) {
  static_assert(kDurationBucketCount == kDurationBucketBounds.size() + 1);
  std::array<std::string, kDurationBucketBounds.size()> bounds;
  for (std::size_t i = 0; i < bounds.size(); ++i)
    bounds[i] = format_bound(kDurationBucketBounds[i]);
  Family family(out, "velloc_request_duration_seconds", "histogram",
                "Time from a request's start to its answer, by route.");
  for (std::size_t r = 0; r < kRouteCount; ++r) {
    std::string_view route = route_name(static_cast<Route>(r));
    DurationHistogram histogram = store.durations(static_cast<Route>(r));
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kDurationBucketCount; ++i) {
      cumulative += histogram.buckets[i];
      std::string_view le = i < bounds.size() ? std::string_view(bounds[i]) : "+Inf";
      family.sample({{"route", route}, {"le", le}}, cumulative, "_bucket");
    }
    family.sample({{"route", route}}, static_cast<double>(histogram.sum_nanoseconds) / 1e9, "_sum");
    family.sample({{"route", route}}, cumulative, "_count");
  }
}

void write_deliveries(std::string& out, const MetricsStore& store) {
  Family family(out, "velloc_deliveries_total", "counter", "Delivery attempts by kind and result.");
  for (std::size_t k = 0; k < kDeliveryKindCount; ++k) {
    for (std::size_t r = 0; r < kDeliveryResultCount; ++r) {
      DeliveryKind kind = static_cast<DeliveryKind>(k);
      DeliveryResult result = static_cast<DeliveryResult>(r);
      family.sample({{"kind", delivery_kind_name(kind)}, {"result", delivery_result_name(result)}},
                    store.deliveries(kind, result));
    }
  }
}

void write_gauges(std::string& out, const MetricsGauges& gauges) {
  Family items(out, "velloc_outbox_items", "gauge", "Deliveries in the outbox by kind and state.");
  for (const auto& entry : gauges.outbox_items)
    items.sample({{"kind", entry.kind}, {"state", entry.state}}, entry.count);
  Family age(out, "velloc_outbox_oldest_age_seconds", "gauge",
             "Seconds since the oldest pending delivery of each kind fell due.");
  for (const auto& entry : gauges.outbox_oldest_age)
    age.sample({{"kind", entry.kind}}, entry.oldest_age_seconds);
  Family workers(out, "velloc_workers", "gauge", "Worker processes by state.");
  for (const auto& entry : gauges.workers) workers.sample({{"state", entry.state}}, entry.count);
}

void write_process(std::string& out, const ProcessMetrics& process) {
  Family(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time in seconds.")
      .sample({}, process.cpu_seconds);
  Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.")
      .sample({}, process.resident_bytes);
  Family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.")
      .sample({}, process.virtual_bytes);
  Family(out, "process_open_fds", "gauge", "Number of open file descriptors.")
      .sample({}, process.open_fds);
  Family(out, "process_start_time_seconds", "gauge",
         "Start time of the process since the epoch in seconds.")
      .sample({}, process.start_time_seconds);
}

}  // namespace

std::string escape_label_value(std::string_view value) {
  std::string escaped;
  append_escaped(escaped, value);
  return escaped;
}

std::string render_metrics(const MetricsStore& store, const MetricsGauges& gauges,
                           const std::optional<ProcessMetrics>& process, std::string_view version) {
  std::string out;
  out.reserve(64 * 1024);
  write_submissions(out, store);
  write_durations(out, store);
  write_deliveries(out, store);
  Family(out, "velloc_worker_restarts_total", "counter", "Worker processes started again.")
      .sample({}, store.worker_restarts());
  write_gauges(out, gauges);
  Family(out, "velloc_build_info", "gauge", "The version of velloc, always 1.")
      .sample({{"version", version}}, std::uint64_t{1});
  if (process) write_process(out, *process);
  return out;
}
