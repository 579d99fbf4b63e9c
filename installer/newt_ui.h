// The terminal face of the installer: every page, message, the folder browser and the
// progress window drawn as newt windows. Constructing a NewtUi takes over the terminal
// (newtInit); destroying it gives the terminal back. One instance per process, used on the
// thread that created it. What needs no terminal lives in newt_text.h, folder_listing.h and
// readme_viewer.h.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "installer/installer_ui.h"
#include "installer/newt_progress_window.h"

namespace installer {

class NewtUi : public InstallerUi {
 public:
  // Takes over the terminal; throws std::runtime_error when newt cannot start.
  NewtUi();
  ~NewtUi() override;
  NewtUi(const NewtUi&) = delete;
  NewtUi& operator=(const NewtUi&) = delete;

  bool show_message(const Message& message) override;
  bool show_licence(const std::string& caption, const std::string& agreement) override;
  DirectoryPageResult show_directory_page(DirectoryDialog& dialog) override;
  std::optional<std::string> browse_for_folder(const std::string& prompt) override;
  SettingsPageResult show_settings_page(SettingsDialog& dialog) override;
  void show_progress(const ProgressDialog& dialog) override;
  void draw_progress(const ProgressDialog& dialog) override;
  void hide_progress() override;
  void destroy_progress() override;
  void open_readme(const std::string& path) override;
  // Kept for after the screen: the dialogs show no such lines.
  void note_reason(const std::string& reason) override;
  // The lines noted, for the caller to print once the terminal is given back.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  void end_screen();

  std::unique_ptr<NewtProgressWindow> progress_;  // open while the progress window is shown
  bool screen_active_ = false;
  std::vector<std::string> notes_;
};

}  // namespace installer
