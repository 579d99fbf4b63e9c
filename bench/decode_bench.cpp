// Decoding time of form bodies of 10,000 and 100,000 fields (about 1 MB and
// 10 MB): the time per byte must stay flat as the body grows.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include "velloc/request/cgi_request.h"

namespace {

// Fields of about 100 bytes each, with escapes, pluses and a repeated name.
std::string make_body(int fields) {
  std::string body;
  std::string value = "Some+value+with+escapes+%41%42%43+and+%25+signs+" + std::string(40, 'v');
  for (int i = 0; i < fields; ++i) {
    body += (i % 10 == 0 ? std::string("repeated") : "field" + std::to_string(i)) + "=" + value;
    body += '&';
  }
  return body;
}

void BM_DecodeBody(benchmark::State& state) {
  std::string body = make_body(static_cast<int>(state.range(0)));
  std::string length = "CONTENT_LENGTH=" + std::to_string(body.size());
  const char* environment[] = {length.c_str(), "REQUEST_METHOD=POST", nullptr};
  for (auto _ : state) {
    std::istringstream input(body);
    CgiRequest request;
    init_request(request, environment, input, ", ");
    benchmark::DoNotOptimize(request.fields.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(body.size()));
  state.counters["body_bytes"] = static_cast<double>(body.size());
}

BENCHMARK(BM_DecodeBody)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
