#include "velloc/request/diagnostics.h"

#include <ostream>
#include <string>

#include "velloc/guard/debug_listing_policy.h"
#include "velloc/request/event_log.h"
#include "velloc/request/html_escape.h"
#include "velloc/request/page_head.h"
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

void fail_request(Run& run, std::string_view message) { fail_request(run, message, message); }

void fail_request(Run& run, std::string_view page_message, std::string_view log_message) {
  write_page_head(run.response, run.request, html_content_type(run.settings));
  run.response << "<CENTER>\n<H1>Form Was Not Processed</H1><P>\n"
               << page_message << "</CENTER></BODY>\n</HTML>\n";
  log_event(run.message, 1, "Velloc Failed: %s", std::string(log_message).c_str());
  throw RunEnded();
}

void dump_fields(std::ostream& out, const CgiRequest& request) {
  dump_map(out, "Form Data", request.fields, every_name);
}

void dump_environment(std::ostream& out, const CgiRequest& request) {
  dump_map(out, "Environment Variables", request.environment, may_list_variable);
}

bool answers_with_debug_listing(const Run& run) {
  return run.settings.allow_debug && run.request.field_is_set("DEBUG_VARIABLES");
}

void run_debug_mode(Run& run) {
  if (!answers_with_debug_listing(run)) return;
  write_content_type(run.response, html_content_type(run.settings));
  run.response << "<PRE>\n";
  dump_fields(run.response, run.request);
  dump_environment(run.response, run.request);
  run.response << "</PRE>\n";
  log_event(run.message, 1, "VARIABLE DEBUG MODE\n");
  throw RunEnded();
}
