#include "installer/unattended_ui.h"

#include <filesystem>

#include "installer/directory_dialog.h"
#include "installer/messages.h"
#include "installer/settings_dialog.h"

namespace installer {

namespace {

std::optional<std::string> absolute_folder(const std::string& folder) {
  if (folder.empty()) return std::nullopt;
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(folder, error);
  if (error) return folder;
  return absolute.string();
}

bool same_message(const Message& a, const Message& b) {
  return a.caption == b.caption && a.text == b.text;
}

}  // namespace

UnattendedUi::UnattendedUi(UnattendedAnswers answers, std::ostream& out, std::ostream& err)
    : answers_(std::move(answers)), out_(out), err_(err) {}

bool UnattendedUi::show_message(const Message& message) {
  std::ostream& stream = same_message(message, installation_complete_message()) ? out_ : err_;
  stream << message.caption << ": " << message.text;
  if (!message.text.ends_with('\n')) stream << '\n';
  stream.flush();
  if (message.buttons == MessageButtons::ok) return true;
  if (message.caption == directory_exists_question("").caption) return answers_.continue_existing;
  return true;
}

void UnattendedUi::note_reason(const std::string& reason) {
  err_ << reason << '\n';
  err_.flush();
}

bool UnattendedUi::show_licence(const std::string&, const std::string&) {
  return answers_.accept_licence;
}

DirectoryPageResult UnattendedUi::show_directory_page(DirectoryDialog& dialog) {
  if (directory_showings_++ > 0) return DirectoryPageResult::exit;
  dialog.choose_program_directory(*this);
  dialog.choose_samples_directory(*this);
  return DirectoryPageResult::continue_install;
}

std::optional<std::string> UnattendedUi::browse_for_folder(const std::string&) {
  switch (browse_calls_++) {
    case 0:
      return absolute_folder(answers_.program_folder);
    case 1:
      return absolute_folder(answers_.samples_folder);
    default:
      return std::nullopt;
  }
}

SettingsPageResult UnattendedUi::show_settings_page(SettingsDialog& dialog) {
  dialog.set_smtp_server(answers_.smtp_server);
  dialog.set_default_recipient(answers_.default_recipient);
  return dialog.ok_enabled() ? SettingsPageResult::ok : SettingsPageResult::cancel;
}

void UnattendedUi::show_progress(const ProgressDialog&) {}
void UnattendedUi::draw_progress(const ProgressDialog&) {}
void UnattendedUi::hide_progress() {}
void UnattendedUi::destroy_progress() {}

void UnattendedUi::open_readme(const std::string& path) {
  out_ << "README: " << path << '\n';
  out_.flush();
}

}  // namespace installer
