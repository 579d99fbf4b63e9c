// What the router and the metrics cost a server: the route chosen, the counting of one submission (its form's
// slot looked up by name among 100 profiles, the outcome counted, the duration
// measured and observed; target: well under 20 microseconds), and one scrape of
// a server with 100 form profiles (the page written, and the process figures
// read from /proc).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "velloc/metrics/metrics_store.h"
#include "velloc/metrics/metrics_text.h"
#include "velloc/metrics/process_metrics.h"
#include "velloc/router.h"

namespace {

constexpr int kProfiles = 100;

std::vector<std::string> profile_names() {
  std::vector<std::string> names;
  for (int i = 0; i < kProfiles; ++i) names.push_back("form-profile-" + std::to_string(i));
  return names;
}

void BM_CountSubmission(benchmark::State& state) {
  MetricsStore store;
  std::vector<std::string> names = profile_names();
  for (const std::string& name : names) store.form_slot(name);
  std::size_t next = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    FormSlot form = store.form_slot(names[next]);
    store.count_submission(form, Outcome::kAccepted);
    store.observe_duration(Route::kForm, std::chrono::steady_clock::now() - start);
    next = (next + 1) % names.size();
  }
}

void BM_RenderScrape(benchmark::State& state) {
  MetricsStore store;
  for (const std::string& name : profile_names()) {
    FormSlot form = store.form_slot(name);
    store.count_submission(form, Outcome::kAccepted);
    store.count_submission(form, Outcome::kSpam);
  }
  MetricsGauges gauges;
  for (const char* kind : {"form_mail", "receipt", "webhook"}) {
    gauges.outbox_items.push_back({kind, "pending", 2});
    gauges.outbox_items.push_back({kind, "failed", 1});
    gauges.outbox_oldest_age.push_back({kind, 12.5});
  }
  gauges.workers = {{"busy", 1}, {"idle", 3}};
  ProcessMetrics process{1.5, 1 << 22, 1 << 24, 12, 1.7e9};
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string page = render_metrics(store, gauges, process, "1.0");
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
}

// The supervisor and four workers: here this process five times over.
void BM_ReadProcessMetrics(benchmark::State& state) {
  std::vector<int> pids(5, static_cast<int>(getpid()));
  ProcessMetrics metrics;
  std::string error;
  for (auto _ : state) {
    if (!read_process_metrics(ProcessMetricsSource{}, pids, &metrics, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(metrics.open_fds);
  }
}

// The router's choice for a form submission with every room turned on: the paths it
// compares before the form's.
void BM_ChooseRoute(benchmark::State& state) {
  settings::SiteSettings site;
  site.inbox = site.health = site.metrics = true;
  for (auto _ : state) benchmark::DoNotOptimize(choose_route(site, "POST", ""));
}

BENCHMARK(BM_ChooseRoute)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_CountSubmission)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_RenderScrape)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadProcessMetrics)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
