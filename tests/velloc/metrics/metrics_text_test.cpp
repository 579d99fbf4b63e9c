#include "velloc/metrics/metrics_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/metrics/metrics_labels.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(MetricsTextTest, ThePageShowsEveryFamilyWithItsLabels) {
  MetricsStore store;
  FormSlot odd = store.form_slot("a\"b\\c\nd");
  store.count_submission(odd, Outcome::kAccepted);
  store.count_submission(store.form_slot("contact"), outcome_of(Reason::kMissingFields));
  store.count_submission(store.form_slot("caf\xe9 \xc3\xa9"), Outcome::kSpam);
  store.count_submission(kNoProfileSlot, outcome_named("spam"));
  store.count_submission(kOtherProfileSlot, outcome_named("no_such_code"));
  store.observe_duration(Route::kForm, milliseconds(1));  // a bound counts in its bucket
  store.observe_duration(Route::kForm, microseconds(3500));
  store.observe_duration(Route::kForm, seconds(100));
  store.observe_duration(Route::kHealth, milliseconds(-5));
  store.count_delivery(delivery_kind_named("receipt"), DeliveryResult::kDeferred);
  store.count_delivery(delivery_kind_named("fax"), DeliveryResult::kSent);
  store.count_worker_restart();
  MetricsGauges gauges;
  gauges.outbox_items = {{"form_mail", "pending", 3}, {"webhook", "failed", 1}};
  gauges.outbox_oldest_age = {{"form_mail", 901.5}};
  gauges.workers = {{"busy", 1}, {"idle", 3}};
  ProcessMetrics process{12.25, 4096, 8192, 9, 1700000000.5};
  std::string page = render_metrics(store, gauges, process, "1.0");

  const char* expected[] = {
      "# HELP velloc_submissions_total Submissions by form profile and outcome.",
      "# TYPE velloc_submissions_total counter",
      R"(velloc_submissions_total{form="a\"b\\c\nd",outcome="accepted"} 1)",
      R"(velloc_submissions_total{form="a\"b\\c\nd",outcome="spam"} 0)",
      R"(velloc_submissions_total{form="contact",outcome="missing_fields"} 1)",
      R"(velloc_submissions_total{form="contact",outcome="challenge"} 0)",
      R"(velloc_submissions_total{form="none",outcome="spam"} 1)",
      "velloc_submissions_total{form=\"caf\xEF\xBF\xBD \xc3\xa9\",outcome=\"spam\"} 1",
      R"(velloc_submissions_total{form="other",outcome="other_error"} 1)",
      "# TYPE velloc_request_duration_seconds histogram",
      R"(velloc_request_duration_seconds_bucket{route="form",le="0.001"} 1)",
      R"(velloc_request_duration_seconds_bucket{route="form",le="0.0025"} 1)",
      R"(velloc_request_duration_seconds_bucket{route="form",le="0.005"} 2)",
      R"(velloc_request_duration_seconds_bucket{route="form",le="60"} 2)",
      R"(velloc_request_duration_seconds_bucket{route="form",le="+Inf"} 3)",
      R"(velloc_request_duration_seconds_sum{route="form"} 100.0045)",
      R"(velloc_request_duration_seconds_count{route="form"} 3)",
      R"(velloc_request_duration_seconds_bucket{route="health",le="0.001"} 1)",
      R"(velloc_request_duration_seconds_sum{route="health"} 0)",
      R"(velloc_request_duration_seconds_count{route="metrics"} 0)",
      "# TYPE velloc_deliveries_total counter",
      R"(velloc_deliveries_total{kind="receipt",result="deferred"} 1)",
      R"(velloc_deliveries_total{kind="other",result="sent"} 1)",
      R"(velloc_deliveries_total{kind="webhook",result="given_up"} 0)",
      "# TYPE velloc_worker_restarts_total counter",
      "velloc_worker_restarts_total 1",
      "# TYPE velloc_outbox_items gauge",
      R"(velloc_outbox_items{kind="form_mail",state="pending"} 3)",
      R"(velloc_outbox_items{kind="webhook",state="failed"} 1)",
      R"(velloc_outbox_oldest_age_seconds{kind="form_mail"} 901.5)",
      R"(velloc_workers{state="idle"} 3)",
      R"(velloc_build_info{version="1.0"} 1)",
      "process_cpu_seconds_total 12.25",
      "process_resident_memory_bytes 4096",
      "process_virtual_memory_bytes 8192",
      "process_open_fds 9",
      "process_start_time_seconds 1700000000.5",
  };
  std::vector<std::string> lines = lines_of(page);
  for (const char* line : expected)
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << line;
  // Every registered form with every outcome, each family's HELP and TYPE once.
  EXPECT_EQ(5 * kOutcomeCount, std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
              return l.rfind("velloc_submissions", 0) == 0;
            }));
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "# TYPE velloc_workers gauge"));
  EXPECT_EQ('\n', page.back());
  EXPECT_EQ(std::string::npos, render_metrics(store, gauges, std::nullopt, "1.0").find("process_"));
}

// A fake proc tree: a supervisor (whose ended workers' time it waited for
// counts), one live worker and one that has gone.
TEST(MetricsTextTest, ProcessMetricsSumTheServersProcesses) {
  testing_support::TempDir proc;
  proc.write("stat", "cpu  1 2 3\nbtime 1700000000\n");
  proc.write(
      "100/stat",
      "100 (velloc (x) y) S 1 100 100 0 -1 0 0 0 0 0 150 50 30 20 20 0 1 0 250 1000000 10 0\n");
  proc.write("100/fd/0", "");
  proc.write("100/fd/1", "");
  proc.write("101/stat",
             "101 (velloc) R 100 100 100 0 -1 0 0 0 0 0 100 0 0 0 20 0 1 0 900 500 5 0\n");
  proc.write("101/fd/3", "");
  ProcessMetricsSource source{proc.path(), 100, 4096};
  ProcessMetrics metrics;
  std::string error;
  ASSERT_TRUE(read_process_metrics(source, {100, 101, 102}, &metrics, &error)) << error;
  EXPECT_DOUBLE_EQ(3.5, metrics.cpu_seconds);
  EXPECT_EQ(15u * 4096, metrics.resident_bytes);
  EXPECT_EQ(1000500u, metrics.virtual_bytes);
  EXPECT_EQ(3u, metrics.open_fds);
  EXPECT_DOUBLE_EQ(1700000002.5, metrics.start_time_seconds);

  EXPECT_FALSE(read_process_metrics(source, {102, 100}, &metrics, &error));
  EXPECT_FALSE(error.empty());
  ASSERT_TRUE(read_process_metrics(ProcessMetricsSource{}, {}, &metrics, &error)) << error;
  EXPECT_GT(metrics.resident_bytes, 0u);
  EXPECT_GE(metrics.open_fds, 3u);
}

}  // namespace
