#include "velloc/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "platform/path_map.h"
#include "tests/support/cgi_runner.h"
#include "velloc/run.h"

namespace {

using testing_support::TempDir;

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() : run_(out_) {}

  void form(std::string_view data) {
    parse_form_data(data, ", ", run_.request.fields);
  }
  void load(const std::string& content) {
    dir_.write("VELLOC.ini", content);
    load_settings_from(run_, dir_.file("VELLOC.ini"));
  }

  TempDir dir_;
  std::ostringstream out_;
  ::Run run_;
};

TEST_F(SettingsTest, DefaultsWithoutAFile) {
  form("receipt_number=yes");
  load_settings_from(run_, "");
  char* cwd = getcwd(nullptr, 0);
  EXPECT_EQ(cwd, run_.settings.start_directory);
  EXPECT_EQ(cwd, run_.message.temp_dir);
  free(cwd);
  EXPECT_EQ(platform::executable_directory(), run_.settings.pgp_directory);
  EXPECT_EQ("BRANNIC.LOG", run_.message.log_file);
  EXPECT_EQ("velloc@localhost", run_.message.default_sender);
  EXPECT_EQ(1, run_.message.log_level);
  EXPECT_EQ(".\\BRANNIC\\TEMPLATES\\", run_.settings.template_directory);
  EXPECT_EQ("mail", run_.message.smtp_server);
  EXPECT_EQ("", run_.settings.referers);
  EXPECT_EQ("1", run_.request.get_field("RECEIPT_NUMBER"));
  EXPECT_EQ("webmaster", run_.request.get_field("RECIPIENT"));
}

TEST_F(SettingsTest, ReadsEveryKey) {
  load(
      "[Velloc]\nPGP_PATH=C:\\PGP\nTEMP=/var/"
      "tmp\nLOGFILE=site.log\nDEFAULTSENDER=a@b\n"
      "LOG_LEVEL=15\nTEMPLATE_DIR=/srv/t/"
      "\nSMTP=smtp.example:2525\nReferers=a.com\n"
      "DefaultRecipient=owner@example.com\n");
  EXPECT_EQ(dir_.file("VELLOC.ini"), run_.settings.settings_file);
  EXPECT_EQ("C:\\PGP\\", run_.settings.pgp_directory);
  EXPECT_EQ("/var/tmp", run_.message.temp_dir);
  EXPECT_EQ("site.log", run_.message.log_file);
  EXPECT_EQ("a@b", run_.message.default_sender);
  EXPECT_EQ(15, run_.message.log_level);
  EXPECT_EQ("/srv/t/", run_.settings.template_directory);
  EXPECT_EQ("smtp.example:2525", run_.message.smtp_server);
  EXPECT_EQ("a.com", run_.settings.referers);
  EXPECT_EQ("owner@example.com", run_.request.get_field("RECIPIENT"));
}

TEST_F(SettingsTest, EmptyValuesAreNotDefaults) {
  load("[Velloc]\nPGP_Path=\nTEMPLATE_DIR=\nLOG_LEVEL=x\n");
  EXPECT_EQ("", run_.settings.pgp_directory);
  EXPECT_EQ("", run_.settings.template_directory);
  EXPECT_EQ(0, run_.message.log_level);
}

TEST_F(SettingsTest, ReceiptCounterAdvancesOnlyWhenTheFormAsks) {
  form("RECEIPT_NUMBER=x");
  load("[Velloc]\nSMTP=mail\n");
  EXPECT_EQ("1", run_.request.get_field("RECEIPT_NUMBER"));
  EXPECT_EQ("[Velloc]\nSMTP=mail\nReceiptNumber=2\n", dir_.read("VELLOC.ini"));
  load_settings_from(run_, dir_.file("VELLOC.ini"));
  EXPECT_EQ("2", run_.request.get_field("RECEIPT_NUMBER"));

  ::Run unasked(out_);
  parse_form_data("receipt_number=", ", ", unasked.request.fields);
  load_settings_from(unasked, dir_.file("VELLOC.ini"));
  EXPECT_EQ("", unasked.request.get_field("RECEIPT_NUMBER"));
  EXPECT_EQ("[Velloc]\nSMTP=mail\nReceiptNumber=3\n", dir_.read("VELLOC.ini"));
}

TEST_F(SettingsTest, ReceiptNumberIsPrintedWithoutLeadingZeros) {
  form("RECEIPT_NUMBER=x");
  load("[Velloc]\nReceiptNumber=0042\n");
  EXPECT_EQ("42", run_.request.get_field("RECEIPT_NUMBER"));
  EXPECT_EQ("[Velloc]\nReceiptNumber=43\n", dir_.read("VELLOC.ini"));
}

TEST_F(SettingsTest, EmailFallsBackToDefaultEmail) {
  form("defaultemail=d@x&recipient=r@x");
  load("[Velloc]\nDefaultRecipient=owner@x\n");
  EXPECT_EQ("d@x", run_.request.get_field("EMAIL"));
  EXPECT_EQ("r@x", run_.request.get_field("RECIPIENT"));

  ::Run other(out_);
  parse_form_data("email=e@x&defaultemail=d@x", ", ", other.request.fields);
  load_settings_from(other, dir_.file("VELLOC.ini"));
  EXPECT_EQ("e@x", other.request.get_field("EMAIL"));
  EXPECT_EQ("owner@x", other.request.get_field("RECIPIENT"));
}

TEST_F(SettingsTest, FindsTheFileInTheWorkingDirectoryWithoutCase) {
  dir_.write("velloc.INI", "[Velloc]\n");
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  std::vector<std::string> directories = settings_search_directories();
  std::string found = find_settings_file();
  EXPECT_EQ(0, chdir(previous));
  free(previous);
  ASSERT_GE(directories.size(), 3u);
  EXPECT_EQ(platform::executable_directory(), directories[0]);
  EXPECT_EQ(dir_.path() + "/", directories[1]);
  EXPECT_EQ("/etc/velloc/", directories[2]);
  EXPECT_EQ(dir_.path() + "/velloc.INI", found);
}

TEST(RefererHost, IsTheSecondSlashSeparatedPiece) {
  EXPECT_EQ("www.example.com",
            referer_host("http://www.example.com/forms/a.htm"));
  EXPECT_EQ("Host:8080", referer_host("https:///Host:8080"));
  EXPECT_EQ("forms", referer_host("www.example.com/forms/a.htm"));
  EXPECT_EQ("user@h", referer_host("//ftp:/user@h"));
  EXPECT_EQ("", referer_host("http:"));
  EXPECT_EQ("", referer_host(std::string(1999, 'a') + "/host"));
}

class RefererTest : public ::testing::Test {
 protected:
  RefererTest() : run_(out_) {}
  bool check(const std::string& referers, const std::string& referer) {
    run_.settings.referers = referers;
    if (!referer.empty()) run_.request.environment.set("HTTP_REFERER", referer);
    return check_referer(run_);
  }
  std::ostringstream out_;
  ::Run run_;
};

TEST_F(RefererTest, EmptySettingAcceptsEverything) {
  EXPECT_TRUE(check("", ""));
  EXPECT_TRUE(check("", "http://any/"));
}

TEST_F(RefererTest, SeparatorsOnlyAcceptAnyRefererButNotNone) {
  EXPECT_FALSE(check(" , ,", ""));
  EXPECT_TRUE(check(" , ,", "http://any.host/x"));
}

TEST_F(RefererTest, ComparesTheHostWithoutCase) {
  EXPECT_TRUE(
      check("a.com, WWW.Example.com", "https://www.example.COM/form.htm"));
  EXPECT_TRUE(check("a.com,,www.example.com", "ftp://www.example.com/"));
  EXPECT_FALSE(
      check("www.example.com", "http://www.example.com:8080/form.htm"));
  EXPECT_FALSE(check("www.example.com", "www.example.com/form.htm"));
  EXPECT_FALSE(check("www.example.com", "http://evil.com/www.example.com"));
}

TEST_F(RefererTest, MissingRefererIsRefused) {
  EXPECT_FALSE(check("www.example.com", ""));
}

}  // namespace
