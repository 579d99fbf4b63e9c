// Peak memory of template expansion from a file: each size runs in a child
// process, whose maximum resident set size is reported, so the figures for a
// 5 MB and a 50 MB template can be compared. They should be the same.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "bench/template_workload.h"
#include "velloc/templates/template_engine.h"

namespace {

constexpr std::size_t kMegabyte = 1024 * 1024;

void write_template(const std::string& path, const char* line, std::size_t bytes) {
  std::ofstream(path, std::ios::binary) << bench::repeat_to_size(line, bytes);
}

void expand_file(const std::string& path) {
  CgiRequest request = bench::sample_request();
  TemplateState state;
  std::ifstream input(path, std::ios::binary);
  bench::DiscardBuffer discard;
  std::ostream output(&discard);
  expand_template(input, output, request, state);
}

// The child's peak resident set in kilobytes, or -1.
long peak_kilobytes_of_expansion(const std::string& path) {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    expand_file(path);
    _exit(0);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status)) return -1;
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  const std::string path = "/tmp/velloc-template-memory-" + std::to_string(getpid());
  for (const char* line : {bench::kPlainLine, bench::kDirectiveLine}) {
    const char* kind = line == bench::kPlainLine ? "plain" : "directives";
    for (std::size_t megabytes : {5, 50}) {
      write_template(path, line, megabytes * kMegabyte);
      std::printf("%-10s %3zu MB template: peak RSS %ld kB\n", kind, megabytes,
                  peak_kilobytes_of_expansion(path));
    }
  }
  std::remove(path.c_str());
  return 0;
}
