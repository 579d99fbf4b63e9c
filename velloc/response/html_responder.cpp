#include "velloc/response/html_responder.h"

#include <ostream>
#include <sstream>
#include <string>

#include "velloc/guard/redirect_policy.h"
#include "velloc/language/message_catalogue.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/request/html_escape.h"
#include "velloc/request/page_head.h"
#include "velloc/response/cors_headers.h"
#include "velloc/response/diagnostics.h"
#include "velloc/response/http_status.h"

namespace {

constexpr char kFieldRowFormat[] = "<TR><TD VALIGN=TOP><B>%s</B></TD><TD>%s</TD></TR>\n";
constexpr int kTooManyRequests = 429;

// The CORS header lines, for the pages whose head goes after a status line.
std::string cors_header_lines(const Answer& answer) {
  std::ostringstream lines;
  write_cors_headers(lines, answer);
  return lines.str();
}

void write_init_failure(std::ostream& out, const Answer& answer, const MessageCatalogue* words) {
  if (answer.status == 400) out << "Status: 400 Bad Request\n";
  write_cors_headers(out, answer);
  write_content_type(out, "text/html");
  out << "<HTML>\n<H1>" << translate(words, text::kInitFailure) << "</H1>\n</HTML>";
}

// A page sent on unparsed (FULLHEAD) carries its own status line, so the status
// of a refusal goes only on a page that the web server completes.
void write_refusal(std::ostream& out, const Answer& answer, const CgiRequest& request,
                   std::string_view content_type, const MessageCatalogue* words) {
  if (answer.status == kTooManyRequests && !request.field_is_set("FULLHEAD"))
    out << "Status: 429 Too Many Requests\nRetry-After: " << answer.retry_after_seconds << "\n";
  write_page_head(out, request, content_type, cors_header_lines(answer));
  out << "<CENTER>\n<H1>" << translate(words, text::kNotProcessed) << "</H1><P>\n"
      << localised_message(words, answer.message) << "</CENTER></BODY>\n</HTML>\n";
}

void write_debug_listing(std::ostream& out, const Answer& answer, const CgiRequest& request,
                         std::string_view content_type) {
  write_cors_headers(out, answer);
  write_content_type(out, content_type);
  out << "<PRE>\n";
  dump_fields(out, request);
  dump_environment(out, request);
  out << "</PRE>\n";
}

void write_template_not_found(std::ostream& out, const Answer& answer, const CgiRequest& request,
                              std::string_view content_type, const MessageCatalogue* words) {
  write_page_head(out, request, content_type, cors_header_lines(answer));
  out << "<H1>" << translate(words, text::kTemplateNotFound) << "</H1><BR>"
      << html_escape(answer.location) << "\n</BODY></HTML>\n";
}

// Only a relative or http(s) address becomes a link.
void write_back_link(std::ostream& out, const CgiRequest& request, const MessageCatalogue* words) {
  if (!request.field_is_set("LINKBACK") || !is_safe_link(request.get_field("LINKBACK"))) return;
  out << "<A HREF=\"" << html_escape(request.get_field("LINKBACK")) << "\">";
  if (request.field_is_set("LINKBACKTEXT"))
    out << html_escape(request.get_field("LINKBACKTEXT"));
  else
    out << translate(words, text::kBackToSite);
  out << "</A>\n";
}

// The page head, a table of what was sent and the optional link back to the site.
void write_confirmation_page(std::ostream& out, const Answer& answer, const CgiRequest& request,
                             std::string_view content_type, const MessageCatalogue* words) {
  write_page_head(out, request, content_type, cors_header_lines(answer));
  out << "<H1>" << translate(words, text::kSentSuccessfully) << "</H1>\n"
      << "<P>\n<H2>" << translate(words, text::kInformationSent) << "</H2>\n"
      << "<HR>"
      << "<TABLE CELLSPACING=5 WIDTH=80%>";
  write_field_list(out, request, kFieldRowFormat, Escape::kHtml);
  out << "</TABLE>"
      << "<HR>";
  write_back_link(out, request, words);
  out << "</BODY>\n</HTML>";
}

// The page of a request without any field: what answers here, and where its health shows.
void write_no_fields_page(std::ostream& out, const Answer& answer, std::string_view content_type,
                          const MessageCatalogue* words) {
  write_cors_headers(out, answer);
  write_content_type(out, content_type);
  out << "<HTML><HEAD><TITLE>velloc</TITLE></HEAD>\n<BODY>\n"
      << "<P>" << translate(words, text::kNoFieldsPage) << "</P>\n";
  if (!answer.location.empty())
    out << "<P>" << translate(words, text::kItsHealth) << " <A HREF=\""
        << html_escape(answer.location) << "\">" << html_escape(answer.location) << "</A></P>\n";
  out << "</BODY>\n</HTML>";
}

// A page of a heading and a line, with its status when that is not 200.
void write_notice(std::ostream& out, const Answer& answer, const CgiRequest& request,
                  std::string_view content_type, const MessageCatalogue* words) {
  if (answer.status != 0 && answer.status != 200)
    out << "Status: " << answer.status << ' ' << http_status_text(answer.status) << '\n';
  write_page_head(out, request, content_type, cors_header_lines(answer));
  out << "<CENTER>\n<H1>" << translate(words, answer.heading) << "</H1><P>\n"
      << translate(words, answer.message) << "</CENTER></BODY>\n</HTML>\n";
}

}  // namespace

void write_html_answer(std::ostream& out, const Answer& answer, const CgiRequest& request,
                       std::string_view content_type, const MessageCatalogue* words) {
  switch (answer.kind) {
    case Answer::Kind::kNothing:
      return;
    case Answer::Kind::kInitFailure:
      return write_init_failure(out, answer, words);
    case Answer::Kind::kRefused:
      return write_refusal(out, answer, request, content_type, words);
    case Answer::Kind::kDebugListing:
      return write_debug_listing(out, answer, request, content_type);
    case Answer::Kind::kRedirect:
      write_cors_headers(out, answer);
      return write_redirect(out, answer.location);
    case Answer::Kind::kPage:
      write_cors_headers(out, answer);
      write_content_type(out, content_type);
      out << answer.body;
      return;
    case Answer::Kind::kTemplateNotFound:
      return write_template_not_found(out, answer, request, content_type, words);
    case Answer::Kind::kConfirmation:
      return write_confirmation_page(out, answer, request, content_type, words);
    case Answer::Kind::kPreflight:
      return write_preflight_answer(out, answer);
    case Answer::Kind::kChallenge:
      return write_challenge_answer(out, answer);
    case Answer::Kind::kNoFields:
      return write_no_fields_page(out, answer, content_type, words);
    case Answer::Kind::kNotice:
      return write_notice(out, answer, request, content_type, words);
    case Answer::Kind::kInbox:
    case Answer::Kind::kDocument:
      return;  // written as they stand (write_document_answer)
  }
}
