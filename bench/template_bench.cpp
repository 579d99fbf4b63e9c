// Throughput of template expansion on 50 MB templates, plain and
// directive-heavy.
#include <benchmark/benchmark.h>

#include <sstream>

#include "bench/template_workload.h"
#include "velloc/templates/template_engine.h"

namespace {

constexpr std::size_t kTemplateBytes = 50 * 1024 * 1024;

void expand_repeated(benchmark::State& state, const char* line) {
  const std::string text = bench::repeat_to_size(line, kTemplateBytes);
  for (auto _ : state) {
    CgiRequest request = bench::sample_request();
    TemplateState template_state;
    std::istringstream input(text);
    bench::DiscardBuffer discard;
    std::ostream output(&discard);
    expand_template(input, output, request, template_state);
    benchmark::DoNotOptimize(discard.written());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ExpandPlainText(benchmark::State& state) { expand_repeated(state, bench::kPlainLine); }
void BM_ExpandDirectiveHeavy(benchmark::State& state) {
  expand_repeated(state, bench::kDirectiveLine);
}

BENCHMARK(BM_ExpandPlainText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandDirectiveHeavy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
