// The CGI entry point: one run per form submission, always exit status 1.
#include <csignal>
#include <iostream>

#include "platform/temp_file.h"
#include "platform/termination_guard.h"
#include "velloc/pipeline.h"
#include "velloc/process_facts.h"

extern char** environ;

int main() {
  // A write beyond the file-size limit then fails and is handled like a full disk,
  // instead of killing the run before the visitor has an answer.
  std::signal(SIGXFSZ, SIG_IGN);
  // A web server that ends the run (SIGTERM, SIGHUP, SIGINT) leaves no temporary files
  // behind; one that went away (SIGPIPE) fails the writes and the run ends normally.
  platform::TempFileRegistry temp_files;
  platform::TerminationGuard guard(temp_files);
  std::ios::sync_with_stdio(false);
  Site site(read_process_facts(), &temp_files);
  return run_velloc(site, std::cout, environ, std::cin);
}
