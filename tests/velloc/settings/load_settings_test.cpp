#include "velloc/settings/load_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>

#include "platform/path_map.h"
#include "tests/support/cgi_runner.h"
#include "velloc/process_facts.h"
#include "velloc/run.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  // A fresh run with the form `data`, loaded from `content` (no file when null).
  ::Run& load(std::string_view data, const char* content) {
    site_.begin_request();
    run_.emplace(site_);
    parse_form_data(data, ", ", run_->request.fields);
    if (content) dir_.write("VELLOC.ini", content);
    load_settings_from(*run_, content ? dir_.file("VELLOC.ini") : "");
    return *run_;
  }
  std::string file() const { return dir_.read("VELLOC.ini"); }

  testing_support::TempDir dir_;
  std::ostringstream out_;
  Site site_{read_process_facts()};
  std::optional<::Run> run_;
};

TEST_F(SettingsTest, DefaultsEveryKeyAndEmptyValues) {
  char* cwd = getcwd(nullptr, 0);
  const std::string kCwd = cwd;
  free(cwd);
  std::pair<const char*, std::string> cases[] = {
      {nullptr, platform::executable_directory() + "|" + kCwd +
                    "|BRANNIC.LOG|velloc@localhost|1|.\\BRANNIC\\TEMPLATES\\|mail||webmaster"},
      {"[Velloc]\nPGP_PATH=C:\\PGP\nTEMP=/var/tmp\nLOGFILE=site.log\nDEFAULTSENDER=a@b\n"
       "LOG_LEVEL=15\nTEMPLATE_DIR=/srv/t/\nSMTP=smtp.example:2525\nReferers=a.com\n"
       "DefaultRecipient=owner@example.com\n",
       "C:\\PGP\\|/var/tmp|site.log|a@b|15|/srv/t/|smtp.example:2525|a.com|owner@example.com"},
      {"[Velloc]\nPGP_Path=\nTEMPLATE_DIR=\nLOG_LEVEL=+15\n",
       "|" + kCwd + "|BRANNIC.LOG|velloc@localhost|0||mail||webmaster"}};
  for (const auto& [content, expected] : cases) {
    const ::Run& run = load("", content);
    EXPECT_EQ(expected, run.settings.pgp_directory + "|" + run.message.temp_dir + "|" +
                            run.message.log_file + "|" + run.message.default_sender + "|" +
                            std::to_string(run.message.log_level) + "|" +
                            run.settings.template_directory + "|" + run.message.smtp_server + "|" +
                            run.settings.referers + "|" + run.request.get_field("RECIPIENT"));
  }
  EXPECT_EQ("1", load("receipt_number=yes", nullptr).request.get_field("RECEIPT_NUMBER"));
}

TEST_F(SettingsTest, MailTransportKeys) {
  dir_.write("password", "s3cret word\r\nsecond line\n");
  const std::pair<std::string, std::string> cases[] = {
      {"", "0|25||1|||0||0|text/html"},
      {"SMTP_TLS=STARTTLS\nSMTP_CA_FILE=/ca.pem\nSMTP_USER=u\nSMTP_PASSWORD=p\nCHARSET=UTF-8\n"
       "VisitorReplyTo=1\n",
       "1|25|/ca.pem|1|u|p|0|UTF-8|1|text/html; charset=UTF-8"},
      {"SMTP_TLS=tls\nSMTP_TLS_VERIFY=0\nSMTP_USER=u\nSMTP_PASSWORD=p\nSMTP_PASSWORD_FILE=" +
           dir_.file("password") + "\nSMTP_AUTH_PLAINTEXT=1\n",
       "2|465||0|u|s3cret word|1||0|text/html"},
      {"SMTP_TLS=ssl\nSMTP_PASSWORD_FILE=" + dir_.file("missing") + "\n",
       "3|25||1|||0||0|text/html"},
  };
  for (const auto& [keys, expected] : cases) {
    const ::Run& run = load("", ("[Velloc]\nLOGFILE=NUL\n" + keys).c_str());
    const MailMessage& m = run.message;
    EXPECT_EQ(expected, std::to_string(static_cast<int>(m.smtp_tls)) + "|" +
                            std::to_string(m.smtp_port) + "|" + m.ca_file + "|" +
                            std::to_string(m.tls_verify) + "|" + m.smtp_user + "|" +
                            m.smtp_password + "|" + std::to_string(m.auth_plaintext) + "|" +
                            m.site_charset + "|" + std::to_string(run.settings.visitor_reply_to) +
                            "|" + html_content_type(run.settings));
  }
}

TEST_F(SettingsTest, ReceiptCounterAdvancesOnlyWhenTheFormAsks) {
  auto receipt = [&](const char* data, const char* content) {
    return load(data, content).request.get_field("RECEIPT_NUMBER");
  };
  EXPECT_EQ("1", receipt("RECEIPT_NUMBER=x", "[Velloc]\nSMTP=mail\n"));
  EXPECT_EQ("[Velloc]\nSMTP=mail\nReceiptNumber=2\n", file());
  EXPECT_EQ("", receipt("receipt_number=", file().c_str()));
  EXPECT_EQ("[Velloc]\nSMTP=mail\nReceiptNumber=2\n", file());
  EXPECT_EQ("42", receipt("RECEIPT_NUMBER=x", "[Velloc]\nReceiptNumber=0042\n"));
  EXPECT_EQ("[Velloc]\nReceiptNumber=43\n", file());
  // A request answered with the debug listing sees the number but does not use it up, unless
  // the listing is switched off and the request is an ordinary form.
  EXPECT_EQ("43", receipt("RECEIPT_NUMBER=x&DEBUG_VARIABLES=1", file().c_str()));
  EXPECT_EQ("[Velloc]\nReceiptNumber=43\n", file());
  EXPECT_EQ("7", receipt("RECEIPT_NUMBER=x&DEBUG_VARIABLES=1",
                         "[Velloc]\nAllowDebug=0\n"
                         "ReceiptNumber=7\n"));
  EXPECT_EQ("[Velloc]\nAllowDebug=0\nReceiptNumber=8\n", file());
}

TEST_F(SettingsTest, EmailFallsBackToDefaultEmailAndRecipientToTheSetting) {
  const char* settings = "[Velloc]\nDefaultRecipient=owner@x\n";
  ::Run& run = load("defaultemail=d@x&recipient=r@x", settings);
  EXPECT_EQ("d@x", run.request.get_field("EMAIL"));
  EXPECT_EQ("r@x", run.request.get_field("RECIPIENT"));
  ::Run& other = load("email=e@x&defaultemail=d@x", settings);
  EXPECT_EQ("e@x", other.request.get_field("EMAIL"));
  EXPECT_EQ("owner@x", other.request.get_field("RECIPIENT"));
}

TEST_F(SettingsTest, FindsTheFileInTheWorkingDirectoryWithoutCase) {
  dir_.write("velloc.INI", "[Velloc]\n");
  ProcessFacts facts;
  facts.executable_directory = "/opt/velloc/bin/";
  facts.working_directory = dir_.path();
  facts.search_path = "/usr/bin:/bin/";
  std::vector<std::string> directories = settings_search_directories(facts);
  EXPECT_EQ((std::vector<std::string>{"/opt/velloc/bin/", dir_.path() + "/", "/etc/velloc/",
                                      "/usr/bin/", "/bin/"}),
            directories);
  EXPECT_EQ(dir_.path() + "/velloc.INI", find_settings_file(facts));
}

// A worker keeps the settings file it found in its place in the search while that file
// is missing or not good; a file found earlier takes over only when it is good. A run
// of its own (CGI) takes whatever the search finds.
TEST_F(SettingsTest, AWorkerKeepsTheFileInUseInItsPlace) {
  ProcessFacts facts;
  facts.executable_directory = dir_.file("early") + "/";
  facts.working_directory = dir_.file("late");
  Site worker(facts), cgi(facts);
  worker.keep_last_good_settings();
  std::string early = dir_.file("early/VELLOC.ini"), late = dir_.file("late/VELLOC.ini");
  struct Step {
    const char* name;
    std::function<void()> change;
    std::string worker_file, cgi_file;
  };
  const Step steps[] = {
      {"found", [&] { dir_.write("late/VELLOC.ini", "[Velloc]\n"); }, late, late},
      {"removed", [&] { std::remove(late.c_str()); }, late, ""},
      {"an empty one earlier",
       [&] {
         dir_.write("late/VELLOC.ini", "[Velloc]\n");
         dir_.write("early/VELLOC.ini", "");
       },
       late, early},
      {"a good one earlier", [&] { dir_.write("early/VELLOC.ini", "[velloc]\nA=1\n"); }, early,
       early},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    worker.begin_request();
    cgi.begin_request();
    EXPECT_EQ(step.worker_file, request_settings_file(worker));
    EXPECT_EQ(step.cgi_file, request_settings_file(cgi));
  }
}

TEST_F(SettingsTest, AddressFieldsWithoutAnAddressTakeTheirFallbacks) {
  const char* settings = "[Velloc]\nDefaultRecipient=owner@x\n";
  ::Run& run = load("email=%09%3C%3E&defaultemail=d@x&recipient=+%0B,", settings);
  EXPECT_EQ("d@x", run.request.get_field("EMAIL"));
  EXPECT_EQ("owner@x", run.request.get_field("RECIPIENT"));
  EXPECT_EQ(std::nullopt, load("", settings).settings.allowed_recipients);
  EXPECT_EQ("", load("", "[Velloc]\nAllowedRecipients=\n").settings.allowed_recipients);
  // Longer than other values may be, and never cut into another entry.
  std::string list = std::string(300, ',') + "@example.com";
  EXPECT_EQ(
      list,
      load("", ("[Velloc]\nAllowedRecipients=" + list + "\n").c_str()).settings.allowed_recipients);
}

TEST(RequestLimits, SettingsValuesWithinTheirBounds) {
  constexpr std::int64_t kMiB = 1024 * 1024;
  const std::optional<std::string> kAbsent;
  struct Case {
    std::optional<std::string> size, fields;
    std::int64_t max_request_size;
    std::size_t max_fields;
  };
  const Case cases[] = {
      {kAbsent, kAbsent, 16 * kMiB, 10000},
      {"2048", "5", 2048, 5},
      {" 64m ", "20K", 64 * kMiB, 20480},
      {"100", "0", 1024, 10000},
      {"1G", "-5", 1024, 10000},
      {"9999999999999999", "x", 256 * kMiB, 10000},
      {"", "", 16 * kMiB, 10000},
      {"abc", "123456", 16 * kMiB, 123456},
  };
  for (const Case& c : cases) {
    RequestLimits limits = settings::request_limits_from(c.size, c.fields);
    EXPECT_EQ(c.max_request_size, limits.max_request_size) << c.size.value_or("(absent)");
    EXPECT_EQ(c.max_fields, limits.max_fields) << c.fields.value_or("(absent)");
  }
}
}  // namespace
