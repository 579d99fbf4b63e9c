// Runs the built velloc as a web server would, in a scratch directory holding its settings
// file, and checks what only the program as a whole shows: exit status, exact response, log,
// standard error and the rewritten settings file.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <regex>
#include <set>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

using testing_support::CgiResult;
using testing_support::run_cgi;

class VellocBlackBox : public ::testing::Test {
 protected:
  VellocBlackBox() { site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=velloc.log\nLOG_LEVEL=1\n"); }

  CgiResult post(const std::string& body, std::vector<std::string> extra = {}) {
    std::vector<std::string> environment = testing_support::post_environment(body);
    environment.insert(environment.end(), extra.begin(), extra.end());
    CgiResult result = run_cgi({"", environment, body, site_.path(), {}});
    EXPECT_EQ(1, result.exit_status);
    return result;
  }
  std::string log() const { return testing_support::logged_messages(site_.file("velloc.log")); }

  testing_support::TempDir site_;
};

TEST_F(VellocBlackBox, DebugListingShowsRewrittenFieldsAndTheRequestsOwnVariables) {
  CgiResult result = post("name=Ann+%26+Bob&debug_variables=1", {"DB_PASSWORD=secret"});
  EXPECT_EQ(
      "Content-type: text/html\n\n<PRE>\nForm Data\n---------------------\n"
      "\t[RECIPIENT] = webmaster\n\t[DEBUG_VARIABLES] = 1\n\t[NAME] = Ann &amp; Bob\n"
      "Environment Variables\n---------------------\n\t[CONTENT_LENGTH] = 34\n"
      "\t[CONTENT_TYPE] = application/x-www-form-urlencoded\n"
      "\t[REQUEST_METHOD] = POST\n"
      "\t[QUERY_STRING_UNESCAPED] = name=Ann &amp; Bob&amp;debug_variables=1\n"
      "\t[QUERY_STRING] = name=Ann+%26+Bob&amp;debug_variables=1\n"
      "\t[GATEWAY_INTERFACE] = CGI/1.1\n</PRE>\n",
      result.output);
  EXPECT_EQ("VARIABLE DEBUG MODE\n", log());
}

TEST_F(VellocBlackBox, RefusedRefererGetsTheFailurePageAndARunOnLogLine) {
  site_.write("VELLOC.ini", "[Velloc]\r\nLOGFILE=velloc.log\r\nReferers=forms.example.com\r\n");
  CgiResult result = post("bgcolor=%3Cred&name=x", {"HTTP_REFERER=http://evil.example/f.htm"});
  EXPECT_EQ(
      "Content-Type: text/html\n\n<HTML>\n<BODY BGCOLOR=\"&lt;red\">\n<CENTER>\n"
      "<H1>Form Was Not Processed</H1><P>\n"
      "This request was submitted from a Form with Insufficent Permissions.</CENTER></BODY>\n"
      "</HTML>\n",
      result.output);
  post("name=y");  // no referer at all: refused too
  const std::string kLogged =
      "Velloc Failed: This request was submitted from a Form with Insufficent Permissions.";
  EXPECT_EQ(kLogged + kLogged, log());
}

TEST_F(VellocBlackBox, ConsoleLogGoesToStandardErrorAndALostLogIsReported) {
  site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=Con\n");
  EXPECT_TRUE(std::regex_match(post("debug_variables=1").errors,
                               std::regex(R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|\d{5,}\] )"
                                          "VARIABLE DEBUG MODE\n")));

  site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=no/such/dir/velloc.log\n");
  CgiResult lost = post("debug_variables=1");
  EXPECT_EQ(0u, lost.output.find("Content-type: text/html\n\n<PRE>\n"));
  EXPECT_EQ(0u, lost.errors.find("velloc: ")) << lost.errors;
  EXPECT_FALSE(site_.exists("no"));
}

TEST_F(VellocBlackBox, HugeContentLengthGetsTheInitialisationErrorPage) {
  for (const char* length : {"CONTENT_LENGTH=3000000000", "CONTENT_LENGTH=2147483647"}) {
    CgiResult result = run_cgi({"", {length, "PATH=/usr/bin:/bin"}, "a=1", site_.path(), {}});
    EXPECT_EQ(1, result.exit_status) << length;
    EXPECT_EQ("Content-type: text/html\n\n<HTML>\n<H1>CGI Initialization Error</H1>\n</HTML>",
              result.output)
        << length;
  }
  EXPECT_FALSE(site_.exists("velloc.log"));
}

TEST_F(VellocBlackBox, DebugModeComesBeforeTheRefererCheckAndLeavesTheCounter) {
  std::remove(site_.file("VELLOC.ini").c_str());
  const std::string kFile =
      "; site settings\n[velloc]\nReceiptNumber=41\nSMTP=mail\nReferers=forms.example\n\n"
      "[Other]\nX=1\n";
  site_.write("velloc.ini", kFile);
  CgiResult result = post("receipt_number=yes&debug_variables=1");
  EXPECT_NE(std::string::npos, result.output.find("\t[RECEIPT_NUMBER] = 41\n"));
  EXPECT_EQ(kFile, site_.read("velloc.ini"));
}

TEST_F(VellocBlackBox, SiteSettingsSwitchOffTheListingAndTheEscapingAndLogRefusedRedirects) {
  site_.write("VELLOC.ini",
              "[Velloc]\nLOGFILE=velloc.log\nAllowDebug=0\nEscapeWebTemplates=0\n"
              "RedirectHosts=shop.example\n");
  site_.write("Brannic/Templates/raw.htm", "%NAME%");
  EXPECT_EQ("Content-type: text/html\n\n<b>Ann</b>\n",
            post("DISABLE_MAIL=1&debug_variables=1&name=%3Cb%3EAnn%3C%2Fb%3E&TEMPLATE_WEB=raw.htm")
                .output);
  EXPECT_EQ("Location: https://shop.example/pay\n\n",
            post("DISABLE_MAIL=1&REDIRECT=https%3A%2F%2Fshop.example%2Fpay").output);
  CgiResult refused = post("DISABLE_MAIL=1&REDIRECT=https%3A%2F%2Fevil.example%2F%0Dlogin");
  EXPECT_EQ(0u, refused.output.find("Content-Type: text/html\n\n<HTML>\n<BODY>\n"
                                    "<H1>Form Sent Successfully</H1>\n"));
  EXPECT_EQ("Redirect not allowed: https://evil.example/login\n", log());
}

TEST_F(VellocBlackBox, ConcurrentRunsGetDistinctReceiptNumbers) {
  constexpr int kRuns = 20;
  site_.write("Brannic/Templates/number.htm", "n=%RECEIPT_NUMBER%.");
  std::vector<std::future<CgiResult>> runs;
  for (int i = 0; i < kRuns; ++i)
    runs.push_back(std::async(std::launch::async, [this] {
      return post("receipt_number=x&DISABLE_MAIL=1&TEMPLATE_WEB=number.htm");
    }));
  std::set<int> numbers;
  std::regex receipt(R"(n=(\d+)\.)");
  for (auto& run : runs) {
    CgiResult result = run.get();
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.output, match, receipt)) << result.output;
    numbers.insert(std::stoi(match[1]));
  }
  EXPECT_EQ(std::size_t{kRuns}, numbers.size());
  EXPECT_EQ(1, *numbers.begin());
  EXPECT_EQ(kRuns, *numbers.rbegin());
  EXPECT_EQ("[Velloc]\nLOGFILE=velloc.log\nLOG_LEVEL=1\nReceiptNumber=21\n",
            site_.read("VELLOC.ini"));
  EXPECT_EQ("", log());
}

TEST_F(VellocBlackBox, UnlistedRecipientEndsTheRunBeforeAnythingIsStoredOrSent) {
  site_.write("VELLOC.ini",
              "[Velloc]\nLOGFILE=velloc.log\nSMTP=127.0.0.1:1\nDefaultRecipient=owner@shop.test\n");
  CgiResult result = post("recipient=owner@shop.test,spam@evil.test&template_web=x.htm",
                          {"SERVER_NAME=www.shop.test"});
  EXPECT_EQ(
      "Content-Type: text/html\n\n<HTML>\n<BODY>\n<CENTER>\n<H1>Form Was Not Processed</H1><P>\n"
      "Recipient Not Allowed!</CENTER></BODY>\n</HTML>\n",
      result.output);
  EXPECT_EQ("Recipient not allowed: spam@evil.test\nVelloc Failed: Recipient Not Allowed!", log());
}

TEST_F(VellocBlackBox, ARulesWebhookNamedNowhereIsLeftOutAndTheRunGoesOn) {
  site_.write("VELLOC.ini",
              "[Velloc]\nLOGFILE=velloc.log\n[Form shop]\nDISABLE_MAIL=1\n"
              "When=a: b -> webhook gone; tag t\n");
  CgiResult result = post("form_profile=shop&a=b");
  EXPECT_NE(std::string::npos, result.output.find("<H1>Form Sent Successfully</H1>"));
  EXPECT_NE(std::string::npos,
            log().find("VELLOC.ini:5: error: When=a: b -> webhook gone; tag t: no webhook named "
                       "gone in [Webhooks]\nRule webhook left out: no webhook named gone in "
                       "[Webhooks]\n"))
      << log();
}

TEST_F(VellocBlackBox, RequestOverALimitGetsTheInitialisationErrorPage) {
  site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=velloc.log\nMaxFields=2\nMaxRequestSize=1024\n");
  const std::string kPage =
      "Content-type: text/html\n\n<HTML>\n<H1>CGI Initialization Error</H1>\n</HTML>";
  CgiResult fields = post("a=1&b=2&c=3");
  EXPECT_EQ(kPage, fields.output);
  EXPECT_EQ("velloc: request has more than MaxFields (2) fields\n", fields.errors);
  CgiResult size = post(std::string(1025, 'x'));
  EXPECT_EQ(kPage, size.output);
  EXPECT_EQ("velloc: request of 1025 bytes exceeds MaxRequestSize (1024)\n", size.errors);
  EXPECT_FALSE(site_.exists("velloc.log"));
}

TEST_F(VellocBlackBox, UndecodableJsonBodyIsABadRequestThatSaysWhy) {
  CgiResult result = post(R"({"name":{"first":"Ann"}})", {"CONTENT_TYPE=application/json"});
  EXPECT_EQ(
      "Status: 400 Bad Request\nContent-Type: application/json; charset=utf-8\n\n"
      "{\"ok\": false, \"error\": \"bad_request\", \"message\": \"JSON body at offset 8: field "
      "\\\"name\\\" holds an object; a value is a string, number, boolean, null or an array of "
      "those\"}\n",
      result.output);
  EXPECT_EQ(
      "velloc: JSON body at offset 8: field \"name\" holds an object; a value is a string, "
      "number, boolean, null or an array of those\n",
      result.errors);
  EXPECT_FALSE(site_.exists("velloc.log"));
}

TEST_F(VellocBlackBox, ArgumentsOutsideAWebServerAreOptionsAndAnUnknownOneIsRefused) {
  struct Case {
    std::vector<std::string> arguments;
    bool under_web_server;
    int exit_status;
    std::string error_start;
  };
  const Case cases[] = {
      {{"docter"}, false, 2, "velloc: unknown option: docter\nUsage: velloc\n"},
      {{"--chek"}, false, 2, "velloc: unknown option: --chek\nUsage: velloc\n"},
      {{"--check", "--verbose"}, false, 2, "velloc: --check does not take --verbose\n"},
      {{"doctor"}, true, 1, ""},  // a query without "=" reaches a CGI program as arguments
  };
  for (const Case& c : cases) {
    site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=velloc.log\nSMTP=127.0.0.1:1\n");
    std::vector<std::string> environment = testing_support::post_environment("a=1");
    if (!c.under_web_server) std::erase(environment, std::string("GATEWAY_INTERFACE=CGI/1.1"));
    CgiResult result = run_cgi({"", environment, "a=1", site_.path(), c.arguments});
    EXPECT_EQ(c.exit_status, result.exit_status) << c.arguments[0];
    EXPECT_TRUE(result.errors.starts_with(c.error_start)) << result.errors;
    // Only the submission that ran tried to send its mail and logged the failure.
    EXPECT_EQ(c.under_web_server, site_.exists("velloc.log")) << c.arguments[0];
    std::remove(site_.file("velloc.log").c_str());
  }
}

TEST_F(VellocBlackBox, CheckExitsOneForAnErrorAndWithStrictForAWarning) {
  struct Case {
    std::string settings;
    std::vector<std::string> arguments;
    int exit_status;
    std::string output;
    std::string odbc_ini = "";  // the user's data sources
  };
  // Each names its relay by address, so that no row depends on the machine's DNS.
  const std::string kDatabaseForm =
      "[Velloc]\nTEMPLATE_DIR=./\nSMTP=127.0.0.1\nVisitorReplyTo=1\n[Form a]\n"
      "TEMPLATE_DATABASE=db.ini\n";
  const Case cases[] = {
      {"[Velloc]\nSMTP=127.0.0.1\n",
       {},
       0,
       "V.ini:0: warning: VisitorReplyTo=0: the form mail is sent from the visitor's address, "
       "which fails SPF and DMARC at every visitor's domain that publishes them; set "
       "VisitorReplyTo=1 to send from DEFAULTSENDER with the visitor in Reply-To\n"
       "0 errors, 1 warning\n"},
      {"[Velloc]\nSMTP=127.0.0.1\nVisitorReplyTo=1\n", {}, 0, "0 errors, 0 warnings\n"},
      {"[Velloc]\nSMPT=mail\nSMTP=127.0.0.1\nVisitorReplyTo=1\n",
       {},
       0,
       "V.ini:2: warning: SMPT: unknown key; did you mean SMTP?\n0 errors, 1 warning\n"},
      {"[Velloc]\nSMPT=mail\nSMTP=127.0.0.1\nVisitorReplyTo=1\n",
       {"--strict"},
       1,
       "V.ini:2: warning: SMPT: unknown key; did you mean SMTP?\n0 errors, 1 warning\n"},
      {"[Velloc]\nWebhookSecret=ab\nWebhookTimeout=900\nSMTP=127.0.0.1\nVisitorReplyTo=1\n",
       {"--json"},
       1,
       "{\"errors\": 1, \"warnings\": 1, \"status\": 1, \"problems\": [\n"
       "  {\"file\": \"V.ini\", \"line\": 2, \"severity\": \"warning\", \"message\": "
       "\"WebhookSecret: a secret shorter than 32 bytes (make one with: openssl rand -hex 32)\"},\n"
       "  {\"file\": \"V.ini\", \"line\": 3, \"severity\": \"error\", \"message\": "
       "\"WebhookTimeout=900: expected a whole number from 1 to 300\"}\n]}\n"},
      {kDatabaseForm, {}, 0, "0 errors, 0 warnings\n", "[shop]\nDriver=SQLite3\n"},
      {kDatabaseForm,
       {},
       0,
       "./db.ini:2: warning: DSN=Shop: no such ODBC data source (see odbc.ini, or ODBCINI)\n"
       "0 errors, 1 warning\n",
       "[Other]\nDriver=SQLite3\n"},
  };
  for (const Case& c : cases) {
    site_.write("V.ini", c.settings);
    site_.write("db.ini", "[DATABASE]\nDSN=Shop\nTABLE=t\n");
    site_.write("odbc/odbc.ini", c.odbc_ini);
    std::vector<std::string> arguments = {"--check", "--settings", "V.ini"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "ODBCSYSINI=" + site_.path(),
                                            "ODBCINI=" + site_.file("odbc/odbc.ini")};
    CgiResult result = run_cgi({"", environment, "", site_.path(), arguments});
    EXPECT_EQ(c.exit_status, result.exit_status) << c.settings;
    EXPECT_EQ(c.output, result.output);
  }
}

}  // namespace
