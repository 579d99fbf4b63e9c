#include "velloc/pipeline.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

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
  std::string serve(const char* query) {
    std::string query_string = std::string("QUERY_STRING=") + query;
    const char* environment[] = {"REQUEST_METHOD=GET", query_string.c_str(), nullptr};
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

}  // namespace
