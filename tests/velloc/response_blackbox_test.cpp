// The three answers to a complete form and the three answers to an incomplete
// one, through the built program started as a web server starts it.
#include <gtest/gtest.h>

#include "tests/support/cgi_runner.h"

namespace {

using testing_support::CgiInvocation;
using testing_support::CgiResult;

constexpr char kPageHead[] = "Content-Type: text/html\n\n<HTML>\n<BODY>\n";

class ResponseBlackBoxTest : public ::testing::Test {
 protected:
  ResponseBlackBoxTest() {
    site_.write("VELLOC.ini",
                "[Velloc]\nTEMPLATE_DIR=templates/\nLOGFILE=NUL\n");
  }

  CgiResult post(const std::string& body) {
    CgiInvocation invocation;
    invocation.environment = testing_support::post_environment(body);
    invocation.body = body;
    invocation.working_directory = site_.path();
    CgiResult result = testing_support::run_cgi(invocation);
    EXPECT_EQ(1, result.exit_status);
    return result;
  }

  testing_support::TempDir site_;
};

TEST_F(ResponseBlackBoxTest, TemplatePage) {
  site_.write("templates/thanks.htm",
              "<h1>Thanks, %NAME%</h1>\r\n"
              "+templates/footer.inc+\r\n"
              "#TOTAL = QTY 2.5#[TOTAL > 5]{Total: %TOTAL%}\r\n");
  site_.write("templates/footer.inc", "<footer>^REQUEST_METHOD^</footer>");
  CgiResult result =
      post("NAME=Ann&QTY=3&TEMPLATE_WEB=thanks.htm&DISABLE_MAIL=1");
  EXPECT_EQ(
      "Content-type: text/html\n\n"
      "<h1>Thanks, Ann</h1>\n"
      "<footer>POST</footer>\n\n"
      "Total: 7.50\n",
      result.output);
}

TEST_F(ResponseBlackBoxTest, TemplateNotFoundShowsTheComposedPath) {
  site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\n");
  CgiResult result = post("TEMPLATE_WEB=thanks.htm&DISABLE_MAIL=1");
  EXPECT_EQ(std::string(kPageHead) +
                "<H1>Web Template File Not Found</H1><BR>"
                ".\\BRANNIC\\TEMPLATES\\thanks.htm\n</BODY></HTML>\n",
            result.output);
}

TEST_F(ResponseBlackBoxTest, DefaultTemplateDirectoryIsFoundInAnyCase) {
  site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\n");
  site_.write("Brannic/Templates/Thanks.htm", "found %NAME%");
  CgiResult result = post("NAME=Bo&TEMPLATE_WEB=thanks.htm&DISABLE_MAIL=1");
  EXPECT_EQ("Content-type: text/html\n\nfound Bo\n", result.output);
}

TEST_F(ResponseBlackBoxTest, Redirect) {
  CgiResult result =
      post("REDIRECT=http%3A%2F%2Fexample.test%2Fdone.html&DISABLE_MAIL=1");
  EXPECT_EQ("Location: http://example.test/done.html\n\n", result.output);
}

TEST_F(ResponseBlackBoxTest, ConfirmationPage) {
  CgiResult result = post(
      "name=Ann&email=ann%40example.test&SORTORDER=name,email&"
      "LINKBACK=%2F&DISABLE_MAIL=1");
  EXPECT_EQ(std::string(kPageHead) +
                "<H1>Form Sent Successfully</H1>\n"
                "<P>\n<H2>The Following Information Was Sent:</H2>\n"
                "<HR><TABLE CELLSPACING=5 WIDTH=80%>"
                "<TR><TD VALIGN=TOP><B>name</B></TD><TD>Ann</TD></TR>\n"
                "<TR><TD VALIGN=TOP><B>email</B></TD>"
                "<TD>ann@example.test</TD></TR>\n"
                "</TABLE><HR><A HREF=\"/\">Back To Site</A>\n</BODY>\n</HTML>",
            result.output);
}

TEST_F(ResponseBlackBoxTest, ConfirmationPageShowsTheEmailDefault) {
  CgiResult result = post("SORTORDER=email&DISABLE_MAIL=1");
  EXPECT_NE(std::string::npos,
            result.output.find("<B>email</B></TD><TD>VellocPro</TD>"));
}

TEST_F(ResponseBlackBoxTest, MissingFieldsRedirect) {
  CgiResult result = post(
      "REQUIRED=name&REDIR_MISSING=%2Fmissing.html&TEMPLATE_MISSING=m.htm&"
      "TEMPLATE_WEB=thanks.htm");
  EXPECT_EQ("Location: /missing.html\n\n", result.output);
}

TEST_F(ResponseBlackBoxTest, MissingFieldsTemplate) {
  site_.write("templates/missing.htm",
              "[EMAIL]{has email}[NAME=]{<p>Please give your name.</p>}");
  CgiResult result = post("REQUIRED=name&name=&TEMPLATE_MISSING=missing.htm");
  EXPECT_EQ("Content-type: text/html\n\n<p>Please give your name.</p>\n",
            result.output);
}

TEST_F(ResponseBlackBoxTest, MissingFieldsFailurePage) {
  CgiResult result =
      post("REQUIRED=name,+email&email=&TEMPLATE_WEB=thanks.htm");
  EXPECT_EQ(std::string(kPageHead) +
                "<CENTER>\n<H1>Form Was Not Processed</H1><P>\n"
                "<P>Form entry not complete, the following required fields "
                "are incomplete:<P>\nname<BR>\nemail<BR>\n",
            result.output.substr(0, result.output.find("</CENTER>")));
}

TEST_F(ResponseBlackBoxTest, MissingTemplateThatCannotBeOpened) {
  CgiResult result = post("REQUIRED=name&TEMPLATE_MISSING=none.htm");
  EXPECT_NE(
      std::string::npos,
      result.output.find("Could Not Open Required Fields Missing Template"));
}

TEST_F(ResponseBlackBoxTest, RefusedMissingTemplateGivesNoAnswer) {
  CgiResult result = post("REQUIRED=name&TEMPLATE_MISSING=..%2Fx.htm");
  EXPECT_EQ("", result.output);
}

}  // namespace
