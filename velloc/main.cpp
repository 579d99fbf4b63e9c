// The CGI entry point: one run per form submission, always exit status 1.
#include <iostream>

#include "velloc/pipeline.h"

extern char** environ;

int main() {
  std::ios::sync_with_stdio(false);
  return run_velloc(std::cout, environ, std::cin);
}
