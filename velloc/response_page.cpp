#include "velloc/response_page.h"

#include <fstream>
#include <ostream>

#include "velloc/guard/redirect_policy.h"
#include "velloc/request/form_redirect.h"
#include "velloc/request/html_escape.h"
#include "velloc/request/page_head.h"
#include "velloc/run.h"
#include "velloc/templates/template_paths.h"
#include "velloc/templates/text_files.h"

namespace {

constexpr char kFieldRowFormat[] = "<TR><TD VALIGN=TOP><B>%s</B></TD><TD>%s</TD></TR>\n";
constexpr char kDefaultLinkText[] = "Back To Site";

// The form's web template after the content type, or the not-found page naming
// the path that was tried.
void write_template_page(Run& run) {
  std::ifstream file;
  if (open_form_template(run.templates.web_template, file)) {
    write_content_type(run.response, html_content_type(run.settings));
    expand_template(file, run.response, run.request, run.template_state, web_template_escape(run));
    return;
  }
  write_page_head(run.response, run.request, html_content_type(run.settings));
  run.response << "<H1>Web Template File Not Found</H1><BR>"
               << html_escape(run.templates.web_template) << "\n</BODY></HTML>\n";
}

// Only a relative or http(s) address becomes a link.
void write_back_link(std::ostream& out, const CgiRequest& request) {
  if (!request.field_is_set("LINKBACK") || !is_safe_link(request.get_field("LINKBACK"))) return;
  out << "<A HREF=\"" << html_escape(request.get_field("LINKBACK")) << "\">";
  if (request.field_is_set("LINKBACKTEXT"))
    out << html_escape(request.get_field("LINKBACKTEXT"));
  else
    out << kDefaultLinkText;
  out << "</A>\n";
}

// The built-in confirmation page: the page head, a table of what was sent and
// the optional link back to the site.
void write_confirmation_page(std::ostream& out, const CgiRequest& request,
                             std::string_view content_type) {
  write_page_head(out, request, content_type);
  out << "<H1>Form Sent Successfully</H1>\n"
      << "<P>\n<H2>The Following Information Was Sent:</H2>\n"
      << "<HR>"
      << "<TABLE CELLSPACING=5 WIDTH=80%>";
  write_field_list(out, request, kFieldRowFormat, Escape::kHtml);
  out << "</TABLE>"
      << "<HR>";
  write_back_link(out, request);
  out << "</BODY>\n</HTML>";
}

}  // namespace

bool write_response_page(Run& run) {
  const CgiRequest& request = run.request;
  if (request.field_is_set("TEMPLATE_WEB")) {
    write_template_page(run);
    throw RunEnded();
  }
  if (write_form_redirect(run, "REDIRECT")) return true;
  write_confirmation_page(run.response, request, html_content_type(run.settings));
  return true;
}
