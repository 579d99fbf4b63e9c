// The honeypot, the rate limits and the receipt counter in the state store, run
// through the built velloc with the embedded store in its site folder.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

using testing_support::CgiResult;

constexpr char kRedirect[] = "Location: http://example.test/thanks\n\n";

class GuardBlackBox : public ::testing::Test {
 protected:
  void settings(const std::string& keys) {
    site_.write("VELLOC.ini",
                "[Velloc]\nLOGFILE=velloc.log\nLOG_LEVEL=5\nSMTP=127.0.0.1:1\nRedirectHosts="
                "example.test\n" +
                    keys + "\n");
  }
  std::string post(const std::string& body, const std::string& remote = "192.0.2.1") {
    std::vector<std::string> environment = testing_support::post_environment(body);
    environment.push_back("REMOTE_ADDR=" + remote);
    return testing_support::run_cgi({"", environment, body, site_.path(), {}}).output;
  }
  std::string log() const { return testing_support::logged_messages(site_.file("velloc.log")); }

  testing_support::TempDir site_;
};

TEST_F(GuardBlackBox, FilledHoneypotAnswersAsSuccessAndSendsNothing) {
  settings("HoneypotField=website");
  EXPECT_EQ(kRedirect, post("name=x&website=spam&redirect=http://example.test/thanks"));
  EXPECT_EQ("Honeypot field filled; submission dropped\n", log());
}

TEST_F(GuardBlackBox, RateLimitRefusesWithStatus429AndCountsPerAddress) {
  settings("RateLimit=2/3600");
  const std::string form = "disable_mail=1&redirect=http://example.test/thanks";
  EXPECT_EQ(kRedirect, post(form));
  EXPECT_EQ(kRedirect, post(form + "&website=x", "2001:db8::1"));
  EXPECT_EQ(kRedirect, post(form));
  std::string refused = post(form);
  EXPECT_TRUE(std::regex_match(
      refused, std::regex("Status: 429 Too Many Requests\nRetry-After: 3[56][0-9][0-9]\n"
                          "Content-Type: text/html\n\n<HTML>\n<BODY>\n<CENTER>\n"
                          "<H1>Form Was Not Processed</H1><P>\n"
                          "Too Many Submissions! Please try again later.</CENTER></BODY>\n"
                          "</HTML>\n")))
      << refused;
  EXPECT_EQ(kRedirect, post(form, "2001:db8::2"));
  EXPECT_EQ(
      "Rate limit RateLimit=2/3600 exceeded by 192.0.2.1\n"
      "Velloc Failed: Too Many Submissions! Please try again later.",
      log());
  EXPECT_TRUE(site_.exists("velloc-state.db"));
}

TEST_F(GuardBlackBox, ReceiptNumbersComeFromTheStoreStartingAtTheSetting) {
  settings("ReceiptNumber=41\nReceiptCounter=state\nTEMPLATE_DIR=./");
  site_.write("number.htm", "No. %RECEIPT_NUMBER%");
  const std::string form = "receipt_number=1&disable_mail=1&template_web=number.htm";
  EXPECT_NE(std::string::npos, post(form).find("\n\nNo. 41"));
  EXPECT_NE(std::string::npos, post(form).find("\n\nNo. 42"));
  EXPECT_NE(std::string::npos, site_.read("VELLOC.ini").find("ReceiptNumber=41\n"));
}

TEST_F(GuardBlackBox, UnreachableStoreLiftsLimitsButIssuesNoReceiptNumber) {
  settings("StateDSN=DRIVER=NoSuchDriver\nRateLimit=1/60\nReceiptCounter=state");
  const std::string form = "disable_mail=1&redirect=http://example.test/thanks";
  EXPECT_EQ(kRedirect, post(form));
  EXPECT_EQ(kRedirect, post(form));
  EXPECT_NE(std::string::npos,
            post(form + "&receipt_number=1").find("Receipt Number Not Available!</CENTER>"));
  std::string logged = log();
  EXPECT_TRUE(
      std::regex_match(logged, std::regex("(State store not available: .*NoSuchDriver.*\n){3}"
                                          "Velloc Failed: Receipt Number Not Available!")))
      << logged;
}

}  // namespace
