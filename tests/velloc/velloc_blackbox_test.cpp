// Runs the built velloc as a web server would, in a scratch directory holding
// its settings file, and checks the exact response, exit status, log and
// settings file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <future>
#include <regex>
#include <set>
#include <vector>

#include "tests/support/cgi_runner.h"

namespace {

using testing_support::CgiInvocation;
using testing_support::CgiResult;
using testing_support::post_environment;
using testing_support::run_cgi;
using testing_support::TempDir;

constexpr char kInitError[] =
    "Content-type: text/html\n\n<HTML>\n<H1>CGI Initialization "
    "Error</H1>\n</HTML>";
constexpr char kLogLinePrefix[] =
    R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|\d{5,}\] )";

class VellocBlackBox : public ::testing::Test {
 protected:
  VellocBlackBox() {
    site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=velloc.log\nLOG_LEVEL=1\n");
  }

  CgiResult post(const std::string& body, std::vector<std::string> extra = {}) {
    CgiInvocation invocation{"", post_environment(body), body, site_.path()};
    invocation.environment.insert(invocation.environment.end(), extra.begin(),
                                  extra.end());
    return run_cgi(invocation);
  }

  TempDir site_;
};

TEST_F(VellocBlackBox, DebugListingShowsRewrittenFieldsAndEnvironment) {
  CgiResult result = post("name=Ann+%26+Bob&debug_variables=1");
  EXPECT_EQ(1, result.exit_status);
  EXPECT_EQ(
      "Content-type: text/html\n\n<PRE>\nForm Data\n---------------------\n"
      "\t[RECIPIENT] = webmaster\n\t[DEBUG_VARIABLES] = 1\n\t[NAME] = Ann "
      "&amp; Bob\n"
      "Environment Variables\n---------------------\n\t[CONTENT_LENGTH] = 34\n"
      "\t[CONTENT_TYPE] = application/x-www-form-urlencoded\n\t[PATH] = "
      "/usr/bin:/bin\n"
      "\t[REQUEST_METHOD] = POST\n"
      "\t[QUERY_STRING_UNESCAPED] = name=Ann &amp; Bob&amp;debug_variables=1\n"
      "\t[QUERY_STRING] = name=Ann+%26+Bob&amp;debug_variables=1\n"
      "\t[GATEWAY_INTERFACE] = CGI/1.1\n</PRE>\n",
      result.output);
  EXPECT_TRUE(std::regex_match(
      site_.read("velloc.log"),
      std::regex(std::string(kLogLinePrefix) + "VARIABLE DEBUG MODE\n")));
}

TEST_F(VellocBlackBox, GetRequestIsDecodedFromTheQueryString) {
  CgiResult result =
      run_cgi({"",
               {"QUERY_STRING=debug_variables=on&a=%41", "PATH=/usr/bin:/bin"},
               "ignored=1",
               site_.path()});
  EXPECT_EQ(1, result.exit_status);
  EXPECT_NE(std::string::npos, result.output.find("\t[A] = A\n"));
  EXPECT_NE(std::string::npos, result.output.find("\t[CONTENT_LENGTH] = 24\n"));
  EXPECT_EQ(std::string::npos, result.output.find("IGNORED"));
}

TEST_F(VellocBlackBox, RefusedRefererGetsTheFailurePageAndARunOnLogLine) {
  site_.write(
      "VELLOC.ini",
      "[Velloc]\r\nLOGFILE=velloc.log\r\nReferers=forms.example.com\r\n");
  CgiResult result =
      post("bgcolor=%3Cred&name=x", {"HTTP_REFERER=http://evil.example/f.htm"});
  EXPECT_EQ(1, result.exit_status);
  EXPECT_EQ(
      "Content-Type: text/html\n\n<HTML>\n<BODY "
      "BGCOLOR=\"&lt;red\">\n<CENTER>\n"
      "<H1>Form Was Not Processed</H1><P>\n"
      "This request was submitted from a Form with Insufficent "
      "Permissions.</CENTER></BODY>\n"
      "</HTML>\n",
      result.output);
  post("name=y");  // no referer at all: refused too
  EXPECT_TRUE(std::regex_match(
      site_.read("velloc.log"),
      std::regex(std::string(kLogLinePrefix) +
                 "Velloc Failed: This request was submitted from a Form with "
                 "Insufficent "
                 "Permissions\\." +
                 kLogLinePrefix + "Velloc Failed: .*Permissions\\.")));
}

TEST_F(VellocBlackBox, ConsoleLogGoesToStandardErrorAndALostLogIsReported) {
  site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=Con\n");
  CgiResult console = post("debug_variables=1");
  EXPECT_TRUE(std::regex_match(
      console.errors,
      std::regex(std::string(kLogLinePrefix) + "VARIABLE DEBUG MODE\n")));

  site_.write("VELLOC.ini", "[Velloc]\nLOGFILE=no/such/dir/velloc.log\n");
  CgiResult lost = post("debug_variables=1");
  EXPECT_EQ(0u, lost.output.find("Content-type: text/html\n\n<PRE>\n"));
  EXPECT_EQ(0u, lost.errors.find("velloc: ")) << lost.errors;
  EXPECT_FALSE(site_.exists("no"));
}

TEST_F(VellocBlackBox, HugeContentLengthGetsTheInitialisationErrorPage) {
  for (const char* length :
       {"CONTENT_LENGTH=3000000000", "CONTENT_LENGTH=2147483647"}) {
    CgiResult result =
        run_cgi({"", {length, "PATH=/usr/bin:/bin"}, "a=1", site_.path()});
    EXPECT_EQ(1, result.exit_status) << length;
    EXPECT_EQ(kInitError, result.output) << length;
  }
  EXPECT_FALSE(site_.exists("velloc.log"));
}

TEST_F(VellocBlackBox, MalformedInputStillGetsOneWellFormedAnswer) {
  for (std::vector<std::string> environment :
       std::vector<std::vector<std::string>>{
           {"CONTENT_LENGTH=-12", "QUERY_STRING=debug_variables=1&x=%"},
           {"CONTENT_LENGTH=junk",
            "QUERY_STRING=debug_variables=1&%00=%00&&=="},
           {"CONTENT_LENGTH=500"}}) {
    CgiResult result =
        run_cgi({"", environment, "debug_variables=1&short=%4", site_.path()});
    EXPECT_EQ(1, result.exit_status);
    EXPECT_EQ(0u, result.output.find(
                      "Content-type: text/html\n\n<PRE>\nForm Data\n"));
    EXPECT_EQ(result.output.size() - 7, result.output.rfind("</PRE>\n"));
  }
}

TEST_F(VellocBlackBox, SettingsFileThatIsJunkOrADirectoryFallsBackToDefaults) {
  site_.write("VELLOC.ini", std::string("\0\xff\n[Velloc\n=\n", 12) +
                                std::string(100000, 'x'));
  CgiResult junk = post("debug_variables=1&receipt_number=1");
  EXPECT_EQ(1, junk.exit_status);
  EXPECT_NE(std::string::npos, junk.output.find("\t[RECEIPT_NUMBER] = 1\n"));

  TempDir other;
  mkdir(other.file("velloc.ini").c_str(), 0755);
  CgiResult directory =
      run_cgi({"", post_environment("debug_variables=1&receipt_number=1"),
               "debug_variables=1&receipt_number=1", other.path()});
  EXPECT_EQ(1, directory.exit_status);
  EXPECT_NE(std::string::npos,
            directory.output.find("\t[RECEIPT_NUMBER] = 1\n"));
}

TEST_F(VellocBlackBox, ReceiptCounterIsRewrittenKeepingTheRestOfTheFile) {
  std::remove(site_.file("VELLOC.ini").c_str());
  site_.write(
      "velloc.ini",
      "; site "
      "settings\n[velloc]\nReceiptNumber=41\nSMTP=mail\n\n[Other]\nX=1\n");
  CgiResult result = post("receipt_number=yes&debug_variables=1");
  EXPECT_NE(std::string::npos, result.output.find("\t[RECEIPT_NUMBER] = 41\n"));
  EXPECT_EQ(
      "; site "
      "settings\n[velloc]\nReceiptNumber=42\nSMTP=mail\n\n[Other]\nX=1\n",
      site_.read("velloc.ini"));
}

TEST_F(VellocBlackBox, ConcurrentRunsGetDistinctReceiptNumbers) {
  constexpr int kRuns = 20;
  std::vector<std::future<CgiResult>> runs;
  for (int i = 0; i < kRuns; ++i)
    runs.push_back(std::async(std::launch::async, [this] {
      return post("receipt_number=x&debug_variables=1");
    }));
  std::set<int> numbers;
  std::regex receipt(R"(\t\[RECEIPT_NUMBER\] = (\d+)\n)");
  for (auto& run : runs) {
    CgiResult result = run.get();
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.output, match, receipt))
        << result.output;
    numbers.insert(std::stoi(match[1]));
  }
  EXPECT_EQ(std::size_t{kRuns}, numbers.size());
  EXPECT_EQ(1, *numbers.begin());
  EXPECT_EQ(kRuns, *numbers.rbegin());
  EXPECT_EQ("[Velloc]\nLOGFILE=velloc.log\nLOG_LEVEL=1\nReceiptNumber=21\n",
            site_.read("VELLOC.ini"));
  std::string log = site_.read("velloc.log");
  EXPECT_TRUE(
      std::regex_match(log, std::regex("(" + std::string(kLogLinePrefix) +
                                       "VARIABLE DEBUG MODE\n){20}")));
}

}  // namespace
