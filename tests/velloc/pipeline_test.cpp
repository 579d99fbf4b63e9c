#include "velloc/pipeline.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include "tests/support/cgi_runner.h"

namespace {

// One Site serving request after request, as a long-lived process does.
class ServeRequestTest : public ::testing::Test {
 protected:
  ServeRequestTest() : site_(facts()) {}

  ProcessFacts facts() const {
    ProcessFacts facts;
    facts.working_directory = dir_.path();
    facts.executable_directory = dir_.file("bin") + "/";
    facts.temp_directory = dir_.path() + "/";
    return facts;
  }
  std::string serve(const char* query, const char* accept = "HTTP_ACCEPT=text/html") {
    std::string query_string = std::string("QUERY_STRING=") + query;
    const char* environment[] = {"REQUEST_METHOD=GET", query_string.c_str(), accept, nullptr};
    std::istringstream body;
    std::ostringstream response;
    EXPECT_EQ(1, serve_request(site_, environment, body, response));
    return response.str();
  }

  testing_support::TempDir dir_;
  Site site_;
};

TEST_F(ServeRequestTest, ASettingsChangeTakesEffectAtTheNextRequest) {
  dir_.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\nAllowDebug=0\n");
  const char* form = "DEBUG_VARIABLES=1&DISABLE_MAIL=1&REDIRECT=/done.htm";
  EXPECT_EQ("Location: /done.htm\n\n", serve(form));
  EXPECT_EQ("Location: /done.htm\n\n", serve(form));
  // The same size, so only the file's times or inode can tell the change.
  dir_.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\nAllowDebug=1\n");
  EXPECT_EQ(0u, serve(form).find("Content-type: text/html\n\n<PRE>\nForm Data\n"));
  dir_.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\nAllowDebug=0\nReferers=elsewhere.example\n");
  EXPECT_NE(std::string::npos, serve(form).find("Insufficent Permissions"));
}

// Each step's refusal, as a script that asks for JSON sees it: the status and the
// error code say why, and an incomplete form is answered with its fields even
// where its page would have been a redirect or a template.
TEST_F(ServeRequestTest, EveryRefusalSaysWhyInJson) {
  dir_.write("VELLOC.ini",
             "[Velloc]\nLOGFILE=NUL\nSMTP=127.0.0.1:1\nHoneypotField=website\n"
             "AllowedRecipients=owner@example.com\n[Form shop]\nRECIPIENT=owner@example.com\n");
  const std::pair<const char*, const char*> cases[] = {
      {"FORM_PROFILE=none", "Status: 404 Not Found\n\"error\": \"unknown_form\""},
      {"RECIPIENT=other@example.com", "Status: 403 Forbidden\n\"error\": \"recipient\""},
      {"REQUIRED=name&REDIR_MISSING=/missing.htm&TEMPLATE_MISSING=missing.htm",
       "Status: 422 Unprocessable Content\n\"error\": \"missing_fields\""},
      {"FORM_PROFILE=shop&name=Jo", "Status: 502 Bad Gateway\n\"error\": \"delivery_failed\""},
      {"website=spam&REDIRECT=/done.htm", "Status: 200 OK\n\"ok\": true, \"next\": \"/done.htm\""},
  };
  for (const auto& [form, expected] : cases) {
    std::string response = serve(form, "HTTP_ACCEPT=application/json");
    std::string_view wanted(expected);
    std::size_t status_end = wanted.find('\n') + 1;
    EXPECT_EQ(wanted.substr(0, status_end), response.substr(0, status_end)) << form;
    EXPECT_NE(std::string::npos, response.find(wanted.substr(status_end))) << form << response;
  }
  dir_.write("VELLOC.ini", "[Velloc]\nLOGFILE=NUL\nReferers=elsewhere.example\nResponse=json\n");
  EXPECT_EQ(0u, serve("DISABLE_MAIL=1").find("Status: 403 Forbidden\n"));
}

}  // namespace
