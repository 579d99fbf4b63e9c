// Placeholder until the diagnostics land.
#include "velloc/diagnostics.h"

#include <ostream>

#include "velloc/run.h"

void fail_request(Run& run, std::string_view message) {
  run.response << message;
  throw RunEnded();
}
void dump_fields(std::ostream&, const CgiRequest&) {}
void dump_environment(std::ostream&, const CgiRequest&) {}
void run_debug_mode(Run&) {}
