#include "tests/support/scripted_installer_ui.h"

#include "installer/directory_dialog.h"
#include "installer/progress_dialog.h"
#include "installer/settings_dialog.h"

namespace testing_support {

using installer::DirectoryPageResult;
using installer::SettingsPageResult;

bool ScriptedInstallerUi::show_message(const installer::Message& message) {
  events.push_back("message " + message.caption);
  messages.push_back(message);
  if (message.buttons == installer::MessageButtons::ok || yes_no_answers.empty()) return true;
  bool answer = yes_no_answers.front();
  yes_no_answers.pop_front();
  return answer;
}

void ScriptedInstallerUi::note_reason(const std::string& reason) { reasons.push_back(reason); }

bool ScriptedInstallerUi::show_licence(const std::string& caption, const std::string& agreement) {
  events.push_back("licence");
  licence_caption = caption;
  licence_text = agreement;
  return accept_licence;
}

DirectoryPageResult ScriptedInstallerUi::show_directory_page(installer::DirectoryDialog& dialog) {
  events.push_back("directory page");
  continue_enabled_on_open.push_back(dialog.continue_enabled());
  std::vector<DirectoryAction> actions;
  if (!directory_showings.empty()) {
    actions = directory_showings.front();
    directory_showings.pop_front();
  }
  for (DirectoryAction action : actions) {
    if (action == DirectoryAction::choose_program) dialog.choose_program_directory(*this);
    if (action == DirectoryAction::choose_samples) dialog.choose_samples_directory(*this);
    if (action == DirectoryAction::press_exit) return DirectoryPageResult::exit;
    if (action == DirectoryAction::press_continue) {
      if (dialog.continue_enabled()) return DirectoryPageResult::continue_install;
      events.push_back("continue refused");
    }
  }
  return DirectoryPageResult::exit;
}

std::optional<std::string> ScriptedInstallerUi::browse_for_folder(const std::string& prompt) {
  events.push_back("browse");
  browse_prompts.push_back(prompt);
  if (folders.empty()) return std::nullopt;
  std::optional<std::string> folder = folders.front();
  folders.pop_front();
  return folder;
}

SettingsPageResult ScriptedInstallerUi::show_settings_page(installer::SettingsDialog& dialog) {
  events.push_back("settings page");
  settings_on_open.emplace_back(dialog.smtp_server(), dialog.default_recipient());
  if (settings_showings.empty()) return SettingsPageResult::cancel;
  SettingsAnswer answer = settings_showings.front();
  settings_showings.pop_front();
  dialog.set_smtp_server(answer.smtp_server);
  dialog.set_default_recipient(answer.default_recipient);
  if (!answer.press_ok) return SettingsPageResult::cancel;
  if (dialog.ok_enabled()) return SettingsPageResult::ok;
  events.push_back("ok refused");
  return SettingsPageResult::cancel;
}

void ScriptedInstallerUi::show_progress(const installer::ProgressDialog&) {
  events.push_back("progress shown");
}

void ScriptedInstallerUi::draw_progress(const installer::ProgressDialog& dialog) {
  progress_updates.push_back({dialog.status_text(), dialog.position(), dialog.range()});
}

void ScriptedInstallerUi::hide_progress() { events.push_back("progress hidden"); }
void ScriptedInstallerUi::destroy_progress() { events.push_back("progress destroyed"); }
void ScriptedInstallerUi::open_readme(const std::string& path) {
  events.push_back("readme " + path);
}

}  // namespace testing_support
