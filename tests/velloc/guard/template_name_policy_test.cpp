#include "velloc/guard/template_name_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(TemplateNamePolicy, SettingsFilesAreNeverFormTemplates) {
  const std::pair<std::string, bool> cases[] = {
      {"thanks.htm", true},
      {"Mailer\\receipt.txt", true},
      {"orders_db.ini.htm", true},
      {"ini", true},
      {"", true},
      {"orders_db.ini", false},
      {".\\BRANNIC\\TEMPLATES\\orders_db.INI", false},
      {"/etc/velloc/Velloc.Ini", false},
      {".ini", false},
      {std::string("orders_db.ini\0.htm", 18), false},
  };
  for (const auto& [name, allowed] : cases)
    EXPECT_EQ(allowed, form_template_name_allowed(name)) << name;
}

}  // namespace
