#include "velloc/settings/form_settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "tests/support/cgi_runner.h"
#include "velloc/process_facts.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"

namespace {

TEST(WebhookSettings, AddressKeysInTheOrderOfTheirNumbers) {
  EXPECT_EQ((std::vector<std::string>{"webhook", "Webhook1", "WEBHOOK2", "Webhook10"}),
            settings::webhook_url_keys({"Webhook10", "WEBHOOK2", "WebhookSecret", "webhook", "Webhook1",
                              "Webhook01", "Webhook-3", "Webhook1234567", "Webhooks", "Web"}));
  EXPECT_EQ(std::vector<std::string>{}, settings::webhook_url_keys({"WebhookTimeout", "SMTP"}));
}

class WebhookSettingsTest : public ::testing::Test {
 protected:
  const WebhookSettings& load(std::string_view data, const std::string& content) {
    site_.begin_request();
    run_.emplace(site_);
    parse_form_data(data, ", ", run_->request.fields);
    dir_.write("VELLOC.ini", content);
    load_settings_from(*run_, dir_.file("VELLOC.ini"));
    return run_->settings.webhooks;
  }

  testing_support::TempDir dir_;
  Site site_{read_process_facts()};
  std::optional<::Run> run_;
};

std::string joined(const std::vector<std::string>& urls) {
  std::string text;
  for (const std::string& url : urls) text += url + "|";
  return text;
}

TEST_F(WebhookSettingsTest, ProfileFirstThenTheSite) {
  const std::string long_url = "https://hooks.example.com/" + std::string(400, 'x');
  const std::string file =
      "[Velloc]\nWebhook2=https://c.test/\nWebhook=https://a.test/\nwebhook1=https://b.test/\n"
      "WebhookSecret=site secret\nWebhookTimeout=abc\nHTTP_CA_FILE=/etc/ca.pem\n"
      "WebhookTotalTimeout=4\n"
      "Webhook7=" +
      long_url +
      "\n[Form contact]\nWebhook=\nWebhook1= https://p.test/ \nWebhook3=https://q.test/\n"
      "WebhookTimeout=999\nWebhookAllowPlain=1\nWebhookTemplate=slack.json\n"
      "WebhookTotalTimeout=999\n"
      "HTTP_CA_FILE=/not/this.pem\n";

  const WebhookSettings& site = load("name=x", file);
  EXPECT_EQ("https://a.test/|https://b.test/|https://c.test/|" + long_url + "|", joined(site.urls));
  EXPECT_EQ("site secret", site.secret);
  EXPECT_EQ(10, site.timeout_seconds);
  EXPECT_EQ(4, site.total_timeout_seconds);
  EXPECT_FALSE(site.allow_plain);
  EXPECT_EQ("", site.template_name);
  EXPECT_EQ("/etc/ca.pem", site.ca_file);

  const WebhookSettings& profile = load("form_profile=contact", file);
  EXPECT_EQ("https://p.test/|https://c.test/|https://q.test/|" + long_url + "|",
            joined(profile.urls));
  EXPECT_EQ("site secret", profile.secret);
  EXPECT_EQ(300, profile.timeout_seconds);
  EXPECT_EQ(300, profile.total_timeout_seconds);
  EXPECT_TRUE(profile.allow_plain);
  EXPECT_EQ("slack.json", profile.template_name);
  EXPECT_EQ("/etc/ca.pem", profile.ca_file);

  EXPECT_EQ(3, load("", "[Velloc]\nWebhook=https://a.test/\nWebhookTimeout=3\n").timeout_seconds);
  EXPECT_EQ(10, load("", "[Velloc]\nWebhook=https://a.test/\nWebhookTimeout=0\n").timeout_seconds);
  EXPECT_EQ(10, load("", "[Velloc]\nWebhook=https://a.test/\n").total_timeout_seconds);
  EXPECT_TRUE(load("", "[Velloc]\nSMTP=mail\n").urls.empty());
}

// A call sent again later takes its profile's settings as the file holds them then,
// even where the profile no longer names the address.
TEST_F(WebhookSettingsTest, ACallSentAgainTakesItsProfilesSettingsOfNow) {
  dir_.write("VELLOC.ini",
             "[Velloc]\nWebhook=https://a.test/\nWebhookSecret=site secret\n"
             "HTTP_CA_FILE=/etc/ca.pem\n[Form contact]\nWebhookSecret=contact secret\n"
             "WebhookTimeout=5\nWebhookAllowPlain=1\n[Form quiet]\nWebhook=\n");
  struct Case {
    const char* profile;
    bool found;
    const char* secret;
    int timeout_seconds;
    bool allow_plain;
  };
  const Case cases[] = {
      {"", true, "site secret", 10, false},
      {"contact", true, "contact secret", 5, true},
      {"CONTACT", true, "contact secret", 5, true},
      {"quiet", true, "site secret", 10, false},
      {"gone", false, "", 0, false},
  };
  for (const Case& c : cases) {
    std::optional<WebhookSettings> settings =
        settings::webhook_settings_for_profile(*site_.site_settings(dir_.file("VELLOC.ini")),
                                               c.profile);
    ASSERT_EQ(c.found, settings.has_value()) << c.profile;
    if (!settings) continue;
    EXPECT_EQ(c.secret, settings->secret) << c.profile;
    EXPECT_EQ(c.timeout_seconds, settings->timeout_seconds) << c.profile;
    EXPECT_EQ(c.allow_plain, settings->allow_plain) << c.profile;
    EXPECT_EQ("/etc/ca.pem", settings->ca_file) << c.profile;
    EXPECT_TRUE(settings->urls.empty()) << c.profile;
  }
  EXPECT_EQ("", settings::webhook_settings_for_profile(*site_.site_settings(""), "contact")->secret);
}

}  // namespace
