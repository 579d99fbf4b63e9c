// An InstallerUi that answers every page from command-line answers, for installing without
// a terminal. Messages are printed as "<caption>: <text>" to the error stream, each
// followed by the reason noted for it if any; the completion message (M8) and the README
// path go to the output stream. Both streams must outlive the object.
#pragma once

#include <ostream>
#include <string>

#include "installer/installer_ui.h"

namespace installer {

struct UnattendedAnswers {
  bool accept_licence = false;
  std::string program_folder;  // made absolute against the current working directory
  std::string samples_folder;
  std::string smtp_server;
  std::string default_recipient;
  bool continue_existing = false;  // the answer to M5
};

class UnattendedUi : public InstallerUi {
 public:
  UnattendedUi(UnattendedAnswers answers, std::ostream& out, std::ostream& err);

  // Yes to every question but M5, which is answered from continue_existing.
  bool show_message(const Message& message) override;
  // Written to the error stream.
  void note_reason(const std::string& reason) override;
  bool show_licence(const std::string& caption, const std::string& agreement) override;
  // The first showing picks both folders and continues; any later one exits.
  DirectoryPageResult show_directory_page(DirectoryDialog& dialog) override;
  // The program folder on the first call, the samples folder on the second, then nothing.
  std::optional<std::string> browse_for_folder(const std::string& prompt) override;
  // OK with both answers; when either is empty OK stays disabled and the page is cancelled.
  SettingsPageResult show_settings_page(SettingsDialog& dialog) override;
  void show_progress(const ProgressDialog& dialog) override;
  void draw_progress(const ProgressDialog& dialog) override;
  void hide_progress() override;
  void destroy_progress() override;
  void open_readme(const std::string& path) override;

 private:
  UnattendedAnswers answers_;
  std::ostream& out_;
  std::ostream& err_;
  int directory_showings_ = 0;
  int browse_calls_ = 0;
};

}  // namespace installer
