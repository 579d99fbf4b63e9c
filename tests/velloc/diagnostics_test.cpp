#include "velloc/diagnostics.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/cgi_runner.h"
#include "velloc/run.h"

namespace {

using testing_support::TempDir;

class DiagnosticsTest : public ::testing::Test {
 protected:
  DiagnosticsTest() : run_(out_) {
    run_.message.log_file = dir_.file("velloc.log");
  }
  void form(std::string_view data) {
    parse_form_data(data, ", ", run_.request.fields);
  }

  TempDir dir_;
  std::ostringstream out_;
  ::Run run_;
};

TEST_F(DiagnosticsTest, FailurePageAndLogLine) {
  form("bgcolor=%22red&fullhead=1");
  EXPECT_THROW(fail_request(run_, "Mail <B>failed</B>.\n"), RunEnded);
  EXPECT_EQ(
      "HTTP/1.0 200 OK\nContent-Type: text/html\n\n<HTML>\n<BODY "
      "BGCOLOR=\"&quot;red\">\n"
      "<CENTER>\n<H1>Form Was Not Processed</H1><P>\nMail "
      "<B>failed</B>.\n</CENTER></BODY>\n"
      "</HTML>\n",
      out_.str());
  std::string logged = dir_.read("velloc.log");
  EXPECT_EQ("] Velloc Failed: Mail <B>failed</B>.\n",
            logged.substr(logged.find(']')));
}

TEST_F(DiagnosticsTest, FailureWithoutLogLineEndRunsOn) {
  run_.message.log_level = 1;
  EXPECT_THROW(fail_request(run_, "first"), RunEnded);
  EXPECT_THROW(fail_request(run_, "second"), RunEnded);
  std::string logged = dir_.read("velloc.log");
  EXPECT_EQ(std::string::npos, logged.find('\n'));
  EXPECT_NE(std::string::npos, logged.find("] Velloc Failed: first["));
}

TEST_F(DiagnosticsTest, FieldAndEnvironmentListingsEscapeRequestText) {
  form("x=1&note=%3Cscript%3E&<b>=%26amp;");
  run_.request.environment.set("PATH", "/bin");
  run_.request.environment.set("QUERY_STRING", "a&b");
  std::ostringstream fields, environment;
  dump_fields(fields, run_.request);
  dump_environment(environment, run_.request);
  EXPECT_EQ(
      "Form Data\n---------------------\n\t[NOTE] = &lt;script&gt;\n\t[X] = 1\n"
      "\t[&lt;B&gt;] = &amp;amp;\n",
      fields.str());
  EXPECT_EQ(
      "Environment Variables\n---------------------\n\t[PATH] = /bin\n"
      "\t[QUERY_STRING] = a&amp;b\n",
      environment.str());
}

TEST_F(DiagnosticsTest, DebugModeNeedsANonEmptyField) {
  form("debug_variables=");
  run_debug_mode(run_);
  EXPECT_EQ("", out_.str());
  EXPECT_FALSE(dir_.exists("velloc.log"));
}

TEST_F(DiagnosticsTest, DebugModeListsAndEnds) {
  form("debug_variables=1");
  run_.request.environment.set("HTTP_REFERER", "r");
  EXPECT_THROW(run_debug_mode(run_), RunEnded);
  EXPECT_EQ(
      "Content-type: text/html\n\n<PRE>\nForm Data\n---------------------\n"
      "\t[DEBUG_VARIABLES] = 1\nEnvironment Variables\n---------------------\n"
      "\t[HTTP_REFERER] = r\n</PRE>\n",
      out_.str());
  std::string logged = dir_.read("velloc.log");
  EXPECT_EQ("] VARIABLE DEBUG MODE\n", logged.substr(logged.find(']')));
}

}  // namespace
