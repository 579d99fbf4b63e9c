#include "velloc/response_page.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/cgi_runner.h"
#include "velloc/run.h"

namespace {

constexpr char kPageHead[] = "Content-Type: text/html\n\n<HTML>\n<BODY>\n";

class ResponsePageTest : public ::testing::Test {
 protected:
  ResponsePageTest() : run_(response_) {
    run_.settings.template_directory = dir_.path() + "/";
  }
  void form(std::string_view data) {
    parse_form_data(data, ", ", run_.request.fields);
    resolve_template_paths(run_);
  }
  // The response, and whether the step ended the run itself.
  std::string respond(bool expect_run_ended) {
    bool ended = false;
    try {
      EXPECT_TRUE(write_response_page(run_));
    } catch (const RunEnded&) {
      ended = true;
    }
    EXPECT_EQ(expect_run_ended, ended);
    return response_.str();
  }

  testing_support::TempDir dir_;
  std::ostringstream response_;
  ::Run run_;
};

TEST_F(ResponsePageTest, TemplatePageFollowsTheContentTypeOnly) {
  dir_.write("thanks.htm", "<p>Thanks, %NAME%!</p>");
  form(
      "NAME=Ann+%3Cb%3E&TEMPLATE_WEB=thanks.htm&REDIRECT=/"
      "x&FULLHEAD=1&BGCOLOR=red");
  EXPECT_EQ("Content-type: text/html\n\n<p>Thanks, Ann <b>!</p>\n",
            respond(true));
}

TEST_F(ResponsePageTest, NotFoundPageEscapesThePath) {
  form("TEMPLATE_WEB=%3Cscript%3E.htm");
  EXPECT_NE(std::string::npos,
            respond(true).find("<BR>" + dir_.path() + "/&lt;script&gt;.htm\n"));
}

TEST_F(ResponsePageTest, RefusedTemplateNameGivesAnEmptyPath) {
  form("TEMPLATE_WEB=..%2Fsecret.htm");
  EXPECT_EQ(std::string(kPageHead) +
                "<H1>Web Template File Not Found</H1><BR>\n</BODY></HTML>\n",
            respond(true));
}

TEST_F(ResponsePageTest, DirectoryIsNotATemplate) {
  dir_.write("sub/file.htm", "x");
  form("TEMPLATE_WEB=sub");
  EXPECT_NE(std::string::npos,
            respond(true).find("Web Template File Not Found"));
}

TEST_F(ResponsePageTest, RedirectIsTheLocationHeaderAlone) {
  form("REDIRECT=http://example.test/ok%0D%0AX-Injected:+1&NAME=Ann");
  EXPECT_EQ("Location: http://example.test/okX-Injected: 1\n\n",
            respond(false));
}

TEST_F(ResponsePageTest, ConfirmationPageEscapesWhatCameFromTheForm) {
  run_.request.set_field("<i>", "\"&");
  form("SORTORDER=%3Ci%3E&LINKBACK=%22%3E%3Cx&LINKBACKTEXT=%3Cback%3E");
  std::string page = respond(false);
  EXPECT_NE(std::string::npos,
            page.find("<B>&lt;i&gt;</B></TD><TD>&quot;&amp;</TD>"));
  EXPECT_NE(
      std::string::npos,
      page.find(
          "<A HREF=\"&quot;&gt;&lt;x\">&lt;back&gt;</A>\n</BODY>\n</HTML>"));
}

TEST_F(ResponsePageTest, BackLinkNeedsLinkBack) {
  form("SORTORDER=a&LINKBACK=/index.html");
  EXPECT_NE(std::string::npos,
            respond(false).find(
                "</TABLE><HR><A HREF=\"/index.html\">Back To Site</A>\n"
                "</BODY>\n</HTML>"));
}

TEST_F(ResponsePageTest, LinkTextAloneGivesNoLink) {
  form("SORTORDER=a&LINKBACKTEXT=Home");
  std::string page = respond(false);
  EXPECT_EQ(std::string::npos, page.find("<A "));
  EXPECT_TRUE(page.ends_with("</TABLE><HR></BODY>\n</HTML>"));
}

}  // namespace
