#include "velloc/settings/site_settings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "tests/support/cgi_runner.h"
#include "velloc/rules/form_rules.h"
#include "velloc/settings/form_settings.h"
#include "velloc/settings/settings_model.h"

namespace {

// The parser takes the default the declaration gives each key: a file that writes
// a key's declared default out is read as one that leaves the key out, in [Velloc]
// and, for the keys a form may set, as the form's settings.
TEST(SiteSettings, TheParserTakesTheDeclaredDefaults) {
  // Defaults that say what happens instead of spelling a value: the store beside the
  // settings, and the loopback addresses (written out, the list is the operator's).
  const std::set<std::string_view> described = {"StateDSN", "MetricsAllow"};
  testing_support::TempDir dir;
  dir.write("bare.ini", "[Velloc]\n");
  const settings::SiteSettings bare = settings::read_site_settings(dir.file("bare.ini"));
  Settings bare_form;
  settings::resolve_form_settings(bare, bare_form);
  int compared = 0;
  for (const settings::KeyDeclaration& key : settings::declared_keys()) {
    if (!(key.places & settings::kVellocSection) || key.default_value.empty() ||
        described.count(key.name))
      continue;
    dir.write("written.ini",
              "[Velloc]\n" + std::string(key.name) + "=" + std::string(key.default_value) + "\n");
    settings::SiteSettings written = settings::read_site_settings(dir.file("written.ini"));
    Settings written_form;
    settings::resolve_form_settings(written, written_form);
    written.file = bare.file;
    written.content = bare.content;
    EXPECT_TRUE(written == bare) << key.name << "=" << key.default_value;
    EXPECT_TRUE(written_form == bare_form) << key.name << "=" << key.default_value;
    ++compared;
  }
  EXPECT_GT(compared, 30);
  dir.write("other.ini", "[Velloc]\nSMTP=relay.example\n");
  EXPECT_EQ("relay.example", settings::read_site_settings(dir.file("other.ini")).smtp_server);
}

// Profiles of the forms.d files beside the settings: the settings file's own come
// first, then those of the files in the order of their names; their [Velloc] is
// never read, nor their [Webhooks], whose names their rules call.
TEST(SiteSettings, ProfilesOfFormsD) {
  testing_support::TempDir dir;
  dir.write("VELLOC.ini",
            "[Velloc]\nSMTP=main\nSUBJECT=none\n[Form both]\nSUBJECT=main\n"
            "[Webhooks]\ncrm= https://crm.test/h \nnone=\n");
  dir.write("forms.d/b.ini",
            "[Velloc]\nSMTP=b\n[Form both]\nSUBJECT=b\n[Form two]\nSUBJECT=b\n"
            "[Webhooks]\nb=https://b.test/\n");
  dir.write("forms.d/a.ini",
            "[Form two]\nSUBJECT=a\n[Form kept]\nArchive=1\n"
            "When=a: b -> webhook CRM; webhook none; webhook b\n");
  dir.write("forms.d/c.txt", "[Form text]\nSUBJECT=c\n");
  const settings::SiteSettings site = settings::read_site_settings(dir.file("VELLOC.ini"));
  const std::pair<std::string, std::string> cases[] = {
      {"Form both", "main"}, {"Form two", "a"}, {"Form text", "none"}, {"", "none"}};
  for (const auto& [profile, subject] : cases)
    EXPECT_EQ(subject, settings::form_value(site, profile, "SUBJECT").value_or("")) << profile;
  EXPECT_EQ("main", site.smtp_server);
  EXPECT_TRUE(site.archive_anywhere);
  EXPECT_EQ(2u, settings::profile_section(site, "Form kept").size());
  EXPECT_TRUE(settings::profile_section(site, "Form text").empty());
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"crm", "https://crm.test/h"}}),
            site.named_webhooks);
  rules::RuleDecision decision =
      rules::decide_rules(*settings::profile_rules(site, "Form kept"),
                          [](const std::string&) { return std::string("b"); });
  EXPECT_EQ(std::vector<std::string>{"https://crm.test/h"}, decision.webhooks);
  EXPECT_EQ((std::vector<std::string>{"none", "b"}), decision.unknown_webhooks);
}

}  // namespace
