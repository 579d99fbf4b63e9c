#include "velloc/response_page.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/cgi_runner.h"
#include "velloc/run.h"

namespace {

class ResponsePageTest : public ::testing::Test {
 protected:
  // The response to the form `data`, checking whether the step ended the run itself.
  std::string respond(std::string_view data, bool expect_run_ended) {
    std::ostringstream response;
    ::Run run(response);
    run.settings.template_directory = dir_.path() + "/";
    parse_form_data(data, ", ", run.request.fields);
    run.request.set_field("<i>", "\"&");
    resolve_template_paths(run);
    bool ended = false;
    try {
      EXPECT_TRUE(write_response_page(run));
    } catch (const RunEnded&) {
      ended = true;
    }
    EXPECT_EQ(expect_run_ended, ended) << data;
    return response.str();
  }

  testing_support::TempDir dir_;
};

TEST_F(ResponsePageTest, NotFoundPageShowsTheEscapedPathOrNoneWhenRefused) {
  dir_.write("sub/file.htm", "x");
  std::pair<const char*, std::string> cases[] = {
      {"TEMPLATE_WEB=%3Cscript%3E.htm", dir_.path() + "/&lt;script&gt;.htm"},
      {"TEMPLATE_WEB=..%2Fsecret.htm", ""},
      {"TEMPLATE_WEB=sub", dir_.path() + "/sub"},  // a directory is not a template
  };
  for (const auto& [data, path] : cases)
    EXPECT_EQ(
        "Content-Type: text/html\n\n<HTML>\n<BODY>\n<H1>Web Template File Not Found</H1><BR>" +
            path + "\n</BODY></HTML>\n",
        respond(data, true));
}

TEST_F(ResponsePageTest, ConfirmationPageEscapesFormTextAndLinksBackOnlyWithLinkBack) {
  const std::string kRow = "<TR><TD VALIGN=TOP><B>&lt;i&gt;</B></TD><TD>&quot;&amp;</TD></TR>\n";
  std::pair<const char*, std::string> cases[] = {
      {"SORTORDER=%3Ci%3E&LINKBACK=%22%3E%3Cx&LINKBACKTEXT=%3Cback%3E",
       kRow + "</TABLE><HR><A HREF=\"&quot;&gt;&lt;x\">&lt;back&gt;</A>\n</BODY>\n</HTML>"},
      {"SORTORDER=%3Ci%3E&LINKBACK=/index.html",
       kRow + "</TABLE><HR><A HREF=\"/index.html\">Back To Site</A>\n</BODY>\n</HTML>"},
      {"SORTORDER=%3Ci%3E&LINKBACKTEXT=Home", kRow + "</TABLE><HR></BODY>\n</HTML>"},
  };
  for (const auto& [data, tail] : cases) {
    std::string page = respond(data, false);
    EXPECT_TRUE(page.ends_with("<TABLE CELLSPACING=5 WIDTH=80%>" + tail)) << page;
  }
}

}  // namespace
