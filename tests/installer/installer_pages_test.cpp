// The page state objects, the folder buffers and the fixed texts of the installer.
#include <gtest/gtest.h>

#include "installer/directory_dialog.h"
#include "installer/licence.h"
#include "installer/settings_dialog.h"
#include "tests/support/scripted_installer_ui.h"

namespace {

using installer::DirectoryDialog;
using testing_support::ScriptedInstallerUi;

TEST(DirectoryDialog, PicksGetTheSubdirectoryAppendedOnce) {
  using Picks = std::vector<std::optional<std::string>>;
  struct Case {
    Picks picks;  // one per use of the first button
    std::string expected;
  };
  const std::string too_long(300, 'x');
  const Case cases[] = {
      {{std::nullopt}, "/work/cwd/VLPro"},  // cancelled first pick: the fallback folder
      {{"/"}, "/VLPro"},
      {{"/srv/site"}, "/srv/site/VLPro"},
      {{"/srv/site/"}, "/srv/site/VLPro"},
      {{"/srv/site", "/srv/other"}, "/srv/other/VLPro"},
      {{"/srv/site", std::nullopt}, "/srv/site/VLPro"},  // the buffer keeps the earlier pick
      {{"/" + too_long}, "/work/cwd/VLPro"},             // longer than a folder buffer
  };
  for (const Case& c : cases) {
    ScriptedInstallerUi ui;
    ui.folders.assign(c.picks.begin(), c.picks.end());
    DirectoryDialog dialog("/work/cwd");
    for (std::size_t i = 0; i < c.picks.size(); ++i) dialog.choose_program_directory(ui);
    EXPECT_EQ(c.expected, dialog.program_directory());
    EXPECT_EQ("", dialog.samples_directory());
  }
}

TEST(DirectoryDialog, SamplesButtonUsesItsOwnBufferAndEnablesContinue) {
  ScriptedInstallerUi ui;
  ui.folders = {"/srv/www", std::nullopt};
  DirectoryDialog dialog("/work/cwd");
  dialog.page_opened();
  EXPECT_FALSE(dialog.continue_enabled());
  dialog.choose_samples_directory(ui);
  EXPECT_EQ("/srv/www/Samples", dialog.samples_directory());
  EXPECT_TRUE(dialog.continue_enabled());
  dialog.choose_program_directory(ui);
  EXPECT_EQ("/work/cwd/VLPro", dialog.program_directory());
  EXPECT_EQ("Please choose a location for installation.", ui.browse_prompts[0]);
  EXPECT_EQ("Velloc Pro DB 1.01", dialog.caption());
  EXPECT_TRUE(dialog.explanatory_text().ends_with("desired destination.\r\n\r\n"));
}

TEST(SettingsDialog, OkNeedsTwoFilledFieldsAndHelpFollowsFocus) {
  struct Case {
    std::string smtp, recipient;
    bool ok;
  };
  const Case cases[] = {{"", "", false},
                        {"mail", "", false},
                        {"", "a@b", false},
                        {" ", " ", true},
                        {"mail", "a@b", true}};
  for (const Case& c : cases) {
    installer::SettingsDialog dialog;
    dialog.set_smtp_server(c.smtp);
    dialog.set_default_recipient(c.recipient);
    EXPECT_EQ(c.ok, dialog.ok_enabled()) << "'" << c.smtp << "' '" << c.recipient << "'";
  }
  installer::SettingsDialog dialog;
  EXPECT_EQ(installer::SettingsField::smtp_server, dialog.focused());
  EXPECT_TRUE(dialog.help_text().starts_with(
      "This is the name of your SMTP (Simple Mail Transfer Protocol) server.  "));
  EXPECT_TRUE(dialog.help_text().ends_with(
      ".  Velloc Pro DB will connnect to this mail server to send e-mail messages."));
  dialog.focus(installer::SettingsField::default_recipient);
  EXPECT_EQ(
      "This is the default e-mail address that receives the form results if the EMAIL form "
      "variable is not explicitly to set to another address in your HTML form, and is also the "
      "return e-mail address in the optional e-mail message to the end-user.",
      dialog.help_text());
}

TEST(Licence, PreparedTextNamesTheProductInCrLfLines) {
  std::string text = installer::prepared_licence_text();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(text.size(), start);  // the text ends with a line end
  ASSERT_GT(lines.size(), 4u);
  EXPECT_EQ("Velloc Pro DB 1.01", lines[1]);
  EXPECT_EQ("SOFTWARE LICENSE AGREEMENT", lines[2]);
  for (const std::string& line : lines) EXPECT_EQ(std::string::npos, line.find('\n'));
  EXPECT_EQ("%s\r\n", installer::licence_template().substr(lines[0].size() + 2, 4));
  EXPECT_EQ("a T %s", installer::prepare_licence_text("a %s %s", "T"));
}

}  // namespace
