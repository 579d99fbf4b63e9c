#include "velloc/request/diagnostics.h"

#include <ostream>
#include <string>

#include "velloc/request/event_log.h"
#include "velloc/request/html_escape.h"
#include "velloc/request/page_head.h"
#include "velloc/run.h"

namespace {

constexpr char kRule[] = "---------------------\n";

void dump_map(std::ostream& out, const char* title, const TextMap& map) {
  out << title << '\n' << kRule;
  map.for_each([&](const std::string& name, const std::string& value) {
    out << "\t[" << html_escape(name) << "] = " << html_escape(value) << '\n';
  });
}

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
  dump_map(out, "Form Data", request.fields);
}

void dump_environment(std::ostream& out, const CgiRequest& request) {
  dump_map(out, "Environment Variables", request.environment);
}

void run_debug_mode(Run& run) {
  if (!run.request.field_is_set("DEBUG_VARIABLES")) return;
  write_content_type(run.response, html_content_type(run.settings));
  run.response << "<PRE>\n";
  dump_fields(run.response, run.request);
  dump_environment(run.response, run.request);
  run.response << "</PRE>\n";
  log_event(run.message, 1, "VARIABLE DEBUG MODE\n");
  throw RunEnded();
}
