#include "velloc/response/html_responder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

Answer answer_of(Answer::Kind kind, const std::string& text = "") {
  Answer answer = Answer::of(kind);
  answer.message = text;
  answer.location = text;
  answer.body = text;
  return answer;
}

Answer too_many(int retry_after) {
  Answer answer = answer_of(Answer::Kind::kRefused, "Slow down.");
  answer.status = 429;
  answer.retry_after_seconds = retry_after;
  return answer;
}

Answer readable_from(Answer answer, const std::string& origin) {
  answer.allow_origin = origin;
  return answer;
}

Answer preflight(int status, const std::string& origin, const std::string& headers) {
  Answer answer = readable_from(answer_of(Answer::Kind::kPreflight), origin);
  answer.status = status;
  answer.allow_headers = headers;
  return answer;
}

// A body that ended before its announced length.
Answer cut_short() {
  Answer answer = answer_of(Answer::Kind::kInitFailure);
  answer.status = 400;
  return answer;
}

// Every kind of answer, as the CGI program writes it.
TEST(HtmlResponder, EachAnswerHasItsExactBytes) {
  const std::string head = "Content-Type: text/html; charset=utf-8\n\n<HTML>\n<BODY>\n";
  struct Case {
    Answer answer;
    const char* form;
    std::string expected;
  };
  const Case cases[] = {
      {answer_of(Answer::Kind::kNothing), "", ""},
      {answer_of(Answer::Kind::kInitFailure), "",
       "Content-type: text/html\n\n<HTML>\n<H1>CGI Initialization Error</H1>\n</HTML>"},
      {cut_short(), "",
       "Status: 400 Bad Request\nContent-type: text/html\n\n<HTML>\n<H1>CGI Initialization "
       "Error</H1>\n</HTML>"},
      {answer_of(Answer::Kind::kRefused, "No <B>way</B>."), "",
       head + "<CENTER>\n<H1>Form Was Not Processed</H1><P>\nNo <B>way</B>.</CENTER></BODY>\n"
              "</HTML>\n"},
      {too_many(7), "",
       "Status: 429 Too Many Requests\nRetry-After: 7\n" + head +
           "<CENTER>\n<H1>Form Was Not Processed</H1><P>\nSlow down.</CENTER></BODY>\n</HTML>\n"},
      {too_many(7), "FULLHEAD=1",
       "HTTP/1.0 200 OK\nContent-Type: text/html; charset=utf-8\n\n<HTML>\n<BODY>\n"
       "<CENTER>\n<H1>Form Was Not Processed</H1><P>\nSlow down.</CENTER></BODY>\n</HTML>\n"},
      {answer_of(Answer::Kind::kDebugListing), "a=%3C",
       "Content-type: text/html; charset=utf-8\n\n<PRE>\nForm Data\n---------------------\n"
       "\t[A] = &lt;\nEnvironment Variables\n---------------------\n</PRE>\n"},
      {answer_of(Answer::Kind::kRedirect, "/thanks.htm\r\nX: y"), "",
       "Location: /thanks.htmX: y\n\n"},
      {answer_of(Answer::Kind::kPage, "<P>%done%</P>"), "",
       "Content-type: text/html; charset=utf-8\n\n<P>%done%</P>"},
      {answer_of(Answer::Kind::kTemplateNotFound, "t/<x>.htm"), "",
       head + "<H1>Web Template File Not Found</H1><BR>t/&lt;x&gt;.htm\n</BODY></HTML>\n"},
      {answer_of(Answer::Kind::kConfirmation), "name=Jo&linkback=javascript:x",
       head + "<H1>Form Sent Successfully</H1>\n<P>\n<H2>The Following Information Was Sent:</H2>\n"
              "<HR><TABLE CELLSPACING=5 WIDTH=80%><TR><TD VALIGN=TOP><B>NAME</B></TD><TD>Jo</TD>"
              "</TR>\n</TABLE><HR></BODY>\n</HTML>"},
      // Cross-origin answers: a preflight has no body, and a refused one no CORS header;
      // the CORS lines of a page go after its status line.
      {preflight(204, "https://a.example", "content-type, Accept"), "",
       "Status: 204 No Content\nAccess-Control-Allow-Origin: https://a.example\n"
       "Access-Control-Allow-Methods: POST\nAccess-Control-Allow-Headers: content-type, Accept\n"
       "Access-Control-Max-Age: 600\nVary: Origin\n\n"},
      {preflight(204, "null", ""), "",
       "Status: 204 No Content\nAccess-Control-Allow-Origin: null\n"
       "Access-Control-Allow-Methods: POST\nAccess-Control-Max-Age: 600\nVary: Origin\n\n"},
      {preflight(403, "https://a.example", "content-type"), "", "Status: 403 Forbidden\n\n"},
      {readable_from(too_many(7), "https://a.example"), "",
       "Status: 429 Too Many Requests\nRetry-After: 7\nAccess-Control-Allow-Origin: "
       "https://a.example\nVary: Origin\n" +
           head +
           "<CENTER>\n<H1>Form Was Not Processed</H1><P>\nSlow down.</CENTER></BODY>\n</HTML>\n"},
      {readable_from(answer_of(Answer::Kind::kTemplateNotFound, "t.htm"), "http://b.example"),
       "FULLHEAD=1",
       "HTTP/1.0 200 OK\nAccess-Control-Allow-Origin: http://b.example\nVary: Origin\n" + head +
           "<H1>Web Template File Not Found</H1><BR>t.htm\n</BODY></HTML>\n"},
      {readable_from(answer_of(Answer::Kind::kRedirect, "/thanks.htm"), "http://b.example"), "",
       "Access-Control-Allow-Origin: http://b.example\nVary: Origin\nLocation: /thanks.htm\n\n"},
      {readable_from(answer_of(Answer::Kind::kPage, "ok"), "http://b.example"), "",
       "Access-Control-Allow-Origin: http://b.example\nVary: Origin\n"
       "Content-type: text/html; charset=utf-8\n\nok"},
  };
  for (const Case& c : cases) {
    CgiRequest request;
    parse_form_data(c.form, ", ", request.fields);
    std::ostringstream out;
    write_html_answer(out, c.answer, request, "text/html; charset=utf-8");
    EXPECT_EQ(c.expected, out.str()) << static_cast<int>(c.answer.kind) << " " << c.form;
  }
}

}  // namespace
