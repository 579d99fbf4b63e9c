#include "velloc/response/diagnostics.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "velloc/process_facts.h"
#include "velloc/refusal.h"
#include "velloc/response/html_responder.h"
#include "velloc/run.h"

namespace {

class DiagnosticsTest : public ::testing::Test {
 protected:
  DiagnosticsTest() : run_(site_) { run_.message.log_file = dir_.file("velloc.log"); }
  void form(std::string_view data) { parse_form_data(data, ", ", run_.request.fields); }

  testing_support::TempDir dir_;
  std::ostringstream out_;
  Site site_{read_process_facts()};
  ::Run run_;
};

TEST_F(DiagnosticsTest, FailurePageAndLogLine) {
  form("bgcolor=%22red&fullhead=1");
  try {
    fail_request(run_.message, "Mail <B>failed</B>.\n");
  } catch (const RunEnded& ended) {
    write_html_answer(out_, ended.answer, run_.request, "text/html");
  }
  EXPECT_EQ(
      "HTTP/1.0 200 OK\nContent-Type: text/html\n\n<HTML>\n<BODY BGCOLOR=\"&quot;red\">\n"
      "<CENTER>\n<H1>Form Was Not Processed</H1><P>\nMail <B>failed</B>.\n</CENTER></BODY>\n"
      "</HTML>\n",
      out_.str());
  EXPECT_EQ("Velloc Failed: Mail <B>failed</B>.\n",
            testing_support::logged_messages(dir_.file("velloc.log")));
}

TEST_F(DiagnosticsTest, FieldAndEnvironmentListingsEscapeRequestText) {
  form("x=1&note=%3Cscript%3E&<b>=%26amp;");
  run_.request.environment.set("PATH", "/bin");  // not a request variable: never listed
  run_.request.environment.set("QUERY_STRING", "a&b");
  run_.request.environment.set("HTTP_X_NOTE", "<i>");
  dump_fields(out_, run_.request);
  dump_environment(out_, run_.request);
  EXPECT_EQ(
      "Form Data\n---------------------\n\t[NOTE] = &lt;script&gt;\n\t[X] = 1\n"
      "\t[&lt;B&gt;] = &amp;amp;\n"
      "Environment Variables\n---------------------\n"
      "\t[HTTP_X_NOTE] = &lt;i&gt;\n\t[QUERY_STRING] = a&amp;b\n",
      out_.str());
}

TEST_F(DiagnosticsTest, DebugModeNeedsANonEmptyFieldAndTheSettingsConsent) {
  form("debug_variables=");
  run_debug_mode(run_);
  run_.request.set_field("DEBUG_VARIABLES", "1");
  run_.settings.allow_debug = false;
  run_debug_mode(run_);
  EXPECT_EQ("", out_.str());
  EXPECT_FALSE(dir_.exists("velloc.log"));
}

}  // namespace
