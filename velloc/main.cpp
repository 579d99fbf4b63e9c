// The CGI entry point: one run per form submission, always exit status 1.
#include <csignal>
#include <iostream>

#include "velloc/pipeline.h"
#include "velloc/process_facts.h"

extern char** environ;

int main() {
  // A write beyond the file-size limit then fails and is handled like a full disk,
  // instead of killing the run before the visitor has an answer.
  std::signal(SIGXFSZ, SIG_IGN);
  std::ios::sync_with_stdio(false);
  Site site(read_process_facts());
  return run_velloc(site, std::cout, environ, std::cin);
}
