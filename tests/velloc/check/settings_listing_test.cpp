#include "velloc/check/settings_listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/cgi_runner.h"

namespace {

// The line of `name` in the listing of `settings`.
std::string line_of(const std::string& listing, const std::string& name) {
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with(name + "\t")) return line;
  return "";
}

TEST(SettingsListing, OneLineAKeyWithItsTypeDefaultAndValue) {
  testing_support::TempDir dir;
  dir.write("VELLOC.ini",
            "[Form contact]\nSMTP=profile.example\n"
            "[Velloc]\nSMTP=mail.example:25\nSmtp=second\nLOG_LEVEL=15\nCHARSET=\n"
            "SMTP_PASSWORD=hunter2-very-secret\nChallengeKey=\n"
            "[Velloc]\nReceiptNumber=7\n");
  std::ostringstream out;
  list_settings(dir.file("VELLOC.ini"), false, out);
  const std::string listing = out.str();
  const std::pair<std::string, std::string> rows[] = {
      {"SMTP", "SMTP\t[Velloc]\ttext\tmail\tmail.example:25"},
      {"LOG_LEVEL", "LOG_LEVEL\t[Velloc]\tchoice 0|1|5|10|15\t1\t15"},
      {"CHARSET", "CHARSET\t[Velloc]\ttext\t(none)\t(empty)"},
      {"ReceiptNumber", "ReceiptNumber\t[Velloc]\tinteger 0..2147483647\t1\t(default)"},
      {"MaxRequestSize", "MaxRequestSize\t[Velloc]\tsize 1024..268435456\t16M\t(default)"},
      {"CaptchaMinScore", "CaptchaMinScore\t[Velloc],[Form NAME]\tdecimal 0..1\t0.5\t(default)"},
      {"SMTP_PASSWORD", "SMTP_PASSWORD\t[Velloc]\ttext, secret\t(none)\t(set)"},
      {"ChallengeKey", "ChallengeKey\t[Velloc],[Form NAME]\ttext, secret\t(none)\t(not set)"},
      {"RECIPIENT", "RECIPIENT\t[Form NAME]\taddresses\t(none)\t(per form)"},
      {"DESTINATION", "DESTINATION\t[TEMPLATES]\tpath\t(none)\t(per template)"},
  };
  for (const auto& [name, expected] : rows) EXPECT_EQ(expected, line_of(listing, name));
  EXPECT_EQ(std::string::npos, listing.find("hunter2"));
  EXPECT_EQ(listing.starts_with("SMTP\t"), true);

  std::ostringstream json;
  list_settings(dir.file("VELLOC.ini"), true, json);
  EXPECT_EQ(std::string::npos, json.str().find("hunter2"));
  EXPECT_NE(std::string::npos,
            json.str().find("{\"name\": \"SMTP_PASSWORD\", \"places\": \"[Velloc]\", \"type\": "
                            "\"text\", \"default\": \"\", \"secret\": true, \"set\": true}"));
  EXPECT_NE(std::string::npos,
            json.str().find("{\"name\": \"LOG_LEVEL\", \"places\": \"[Velloc]\", \"type\": "
                            "\"choice\", \"choices\": \"0|1|5|10|15\", \"default\": \"1\", "
                            "\"secret\": false, \"value\": \"15\"}"));

  std::ostringstream defaults;
  list_settings("", false, defaults);
  EXPECT_EQ("SMTP\t[Velloc]\ttext\tmail\t(default)", line_of(defaults.str(), "SMTP"));
}

TEST(SettingsListing, Options) {
  std::string error;
  EXPECT_TRUE(is_listing_command_line({"--json", "--show-settings"}));
  EXPECT_FALSE(is_listing_command_line({"--check"}));
  std::optional<ListingOptions> options =
      parse_listing_options({"--show-settings", "--settings=/etc/V.ini", "--json"}, &error);
  ASSERT_TRUE(options);
  EXPECT_EQ("/etc/V.ini", options->settings_file);
  EXPECT_TRUE(options->json);
  EXPECT_FALSE(parse_listing_options({"--show-settings", "--strict"}, &error));
  EXPECT_EQ("--show-settings does not take --strict", error);
}

}  // namespace
