// What the JSON log adds to a request: its id (target: well under a microsecond),
// the "request" line with its outcome and duration, formatted and appended to a
// log file (one write; the whole under 20 microseconds of a FastCGI submission),
// and a line of each format for comparison. In text mode the request line is a
// test of the format and nothing more.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "velloc/request/event_log.h"
#include "velloc/request/request_id.h"
#include "velloc/request_summary.h"
#include "velloc/run.h"

namespace {

// A log file of its own, removed at the end.
class ScratchLog {
 public:
  ScratchLog() {
    char name[] = "/tmp/velloc-log-bench-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
  }
  ~ScratchLog() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void BM_NextRequestId(benchmark::State& state) {
  RequestIds ids;
  for (auto _ : state) {
    std::string id = ids.next();
    benchmark::DoNotOptimize(id.data());
  }
}

// The request line of an accepted submission of a form profile, as serve_request
// writes it; state.range(0): 1 JSON, 0 text.
void BM_RequestLine(benchmark::State& state) {
  ScratchLog log;
  Site site{ProcessFacts{}};
  Run run(site);
  run.message.log_file = log.path();
  run.message.log_format = state.range(0) ? LogFormat::kJson : LogFormat::kText;
  run.message.form = "contact";
  Answer answer = Answer::of(Answer::Kind::kConfirmation);
  for (auto _ : state) {
    run.message.request_id = site.next_request_id();
    run.message.began = std::chrono::steady_clock::now();
    log_request_summary(run, answer);
  }
}

// One line of a step ("Velloc Failed: ..."); state.range(0): 1 JSON, 0 text.
void BM_StepLine(benchmark::State& state) {
  ScratchLog log;
  LogContext context;
  context.log_file = log.path();
  context.log_format = state.range(0) ? LogFormat::kJson : LogFormat::kText;
  context.request_id = "0123456789abcdef";
  for (auto _ : state)
    log_event(context, LogEvent::kRefused, 1, "Velloc Failed: %s",
              "Recipient Not Allowed! someone@example.com");
}

BENCHMARK(BM_NextRequestId)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_RequestLine)->Arg(1)->Arg(0)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_StepLine)->Arg(1)->Arg(0)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
