#include "velloc/settings/settings_model.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "platform/text.h"
#include "tests/support/cgi_runner.h"

namespace {

// The backquoted names in the first column of the README's tables of keys and of
// control fields ("| key |", "| Key |", "| field |").
std::set<std::string> documented_keys(std::set<std::string>* mentioned) {
  std::istringstream readme(testing_support::read_file(SOURCE_DIR "/README.md"));
  std::set<std::string> keys;
  bool in_table = false;
  std::string line;
  std::regex quoted("`([A-Za-z_0-9]+)`");
  while (std::getline(readme, line)) {
    if (line.starts_with("| key") || line.starts_with("| Key") || line.starts_with("| field")) {
      in_table = true;
      continue;
    }
    if (!line.starts_with("|")) in_table = false;
    if (!in_table) continue;
    for (std::sregex_iterator it(line.begin(), line.end(), quoted), end; it != end; ++it)
      mentioned->insert((*it)[1]);
    std::string first = line.substr(1, line.find('|', 1) - 1);
    for (std::sregex_iterator it(first.begin(), first.end(), quoted), end; it != end; ++it)
      keys.insert((*it)[1]);
  }
  return keys;
}

TEST(SettingsModel, EveryKeyTheReadmeTablesNameIsDeclaredAndEveryDeclaredKeyIsInThem) {
  std::set<std::string> mentioned;
  std::set<std::string> documented = documented_keys(&mentioned);
  ASSERT_GT(documented.size(), 60u);
  // Fields of the control-field table that no profile sets: the visitor's own address
  // and the name of the profile itself.
  documented.erase("EMAIL");
  documented.erase("FORM_PROFILE");
  for (const std::string& name : documented)
    EXPECT_NE(nullptr, settings::find_key(name)) << name << " is documented, not declared";
  for (const settings::KeyDeclaration& key : settings::declared_keys())
    EXPECT_EQ(1u, mentioned.count(std::string(key.name)))
        << key.name << " is declared, not in a README table";
}

TEST(SettingsModel, EveryDeclaredKeyIsInTheManPage) {
  std::string man = testing_support::read_file(SOURCE_DIR "/man/velloc.8");
  man = std::regex_replace(man, std::regex(R"(\\f[A-Z])"), " ");
  man = std::regex_replace(man, std::regex(R"(\\-)"), "-");
  for (const settings::KeyDeclaration& key : settings::declared_keys()) {
    std::regex word("(^|[^A-Za-z_0-9])" + std::string(key.name) + "([^A-Za-z_0-9]|$)");
    EXPECT_TRUE(std::regex_search(man, word)) << key.name << " is declared, not in velloc.8";
  }
}

TEST(SettingsModel, DeclaredOnceEach) {
  std::set<std::string> seen;
  for (const settings::KeyDeclaration& key : settings::declared_keys()) {
    std::string folded(key.name);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert(folded + "/" + std::to_string(key.places)).second) << key.name;
  }
}

TEST(SettingsModel, FindsKeysByPlaceWithoutRegardToCase) {
  using settings::find_key;
  EXPECT_EQ("SMTP", find_key("smtp", settings::kVellocSection)->name);
  EXPECT_EQ(nullptr, find_key("SMTP", settings::kFormProfile));
  EXPECT_EQ("TEMPLATE_WEB", find_key("Template_Web", settings::kFormProfile)->name);
  EXPECT_EQ("Webhook", find_key("webhook12")->name);
  EXPECT_EQ(nullptr, find_key("Webhook1234567"));
  EXPECT_EQ(nullptr, find_key("WebhookX"));
  EXPECT_EQ("SMTP", settings::nearest_key("SMPT", settings::kVellocSection));
  EXPECT_EQ("DefaultRecipient", settings::nearest_key("DefaultRecipent", settings::kVellocSection));
  EXPECT_EQ("", settings::nearest_key("Colour", settings::kVellocSection));
}

TEST(SettingsModel, ValuesOfEachType) {
  struct Case {
    const char* key;
    const char* value;
    const char* reason;  // "" when valid
  };
  const Case cases[] = {
      {"Archive", "1", ""},
      {"Archive", "", ""},
      {"Archive", "yes", "expected 0 or 1"},
      {"ChallengeExpires", "86400", ""},
      {"ChallengeExpires", "5", "expected a whole number from 10 to 86400"},
      {"ChallengeExpires", "10s", "expected a whole number from 10 to 86400"},
      {"ChallengeExpires", "-20", "expected a whole number from 10 to 86400"},
      {"MaxRequestSize", "64m", ""},
      {"MaxRequestSize", "1024", ""},
      {"MaxRequestSize", "512", "expected a number, or with K or M (16M), from 1K to 256M"},
      {"MaxRequestSize", "lots", "expected a number, or with K or M (16M)"},
      {"MaxUploadSize", "2M", ""},
      {"RateLimit", "20/3600", ""},
      {"RateLimit", "20 per hour", "expected N/SECONDS (20/3600)"},
      {"SMTP_TLS", "StartTLS", ""},
      {"SMTP_TLS", "ssl", "expected none, starttls or tls"},
      {"CaptchaMinScore", "0.7", ""},
      {"CaptchaMinScore", "7", "expected a number from 0 to 1"},
      {"Webhook", "https://hooks.example.com/x", ""},
      {"Webhook", "hooks.example.com", "expected an https:// address"},
      {"AllowedRecipients", "*", ""},
  };
  for (const Case& c : cases) {
    std::string reason;
    bool valid = settings::valid_value(*settings::find_key(c.key), c.value, &reason);
    EXPECT_EQ(std::string(c.reason).empty(), valid) << c.key << "=" << c.value;
    EXPECT_EQ(c.reason, reason) << c.key << "=" << c.value;
  }
}

}  // namespace
