#include "velloc/response/diagnostics.h"

#include <ostream>
#include <string>

#include "velloc/guard/debug_listing_policy.h"
#include "velloc/request/event_log.h"
#include "velloc/request/html_escape.h"
#include "velloc/run.h"

namespace {

constexpr char kRule[] = "---------------------\n";

void dump_map(std::ostream& out, const char* title, const TextMap& map,
              bool (*listed)(std::string_view name)) {
  out << title << '\n' << kRule;
  map.for_each([&](const std::string& name, const std::string& value) {
    if (listed(name)) out << "\t[" << html_escape(name) << "] = " << html_escape(value) << '\n';
  });
}

bool every_name(std::string_view) { return true; }

}  // namespace

void dump_fields(std::ostream& out, const CgiRequest& request) {
  dump_map(out, "Form Data", request.fields, every_name);
}

void dump_environment(std::ostream& out, const CgiRequest& request) {
  dump_map(out, "Environment Variables", request.environment, may_list_variable);
}

void run_debug_mode(Run& run) {
  if (!answers_with_debug_listing(run.settings.allow_debug, run.request)) return;
  log_event(run.message, 1, "VARIABLE DEBUG MODE\n");
  throw RunEnded{Answer::of(Answer::Kind::kDebugListing)};
}
