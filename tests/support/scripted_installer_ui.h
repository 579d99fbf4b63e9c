// Test support: an InstallerUi that answers from a script and records everything the
// installation sequence shows, so tests can check the course of a run page by page.
// Answers that run out fall back to Yes, Exit, cancel and "nothing picked", so every run
// ends.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "installer/installer_ui.h"

namespace testing_support {

enum class DirectoryAction { choose_program, choose_samples, press_continue, press_exit };

struct SettingsAnswer {
  std::string smtp_server;
  std::string default_recipient;
  bool press_ok = true;  // OK (taken only while enabled), else Cancel
};

struct ProgressUpdate {
  std::string status;
  int position;
  int range;
};

class ScriptedInstallerUi : public installer::InstallerUi {
 public:
  // The script.
  std::deque<bool> yes_no_answers;
  bool accept_licence = true;
  std::deque<std::vector<DirectoryAction>> directory_showings;
  std::deque<std::optional<std::string>> folders;
  std::deque<SettingsAnswer> settings_showings;

  // The record. `events` lists every call in order: "message <caption>", "licence",
  // "directory page", "browse", "settings page", "progress shown", "progress hidden",
  // "progress destroyed", "readme <path>", and refused presses ("continue refused",
  // "ok refused").
  std::vector<std::string> events;
  std::vector<installer::Message> messages;
  std::vector<std::string> reasons;
  std::string licence_caption;
  std::string licence_text;
  std::vector<bool> continue_enabled_on_open;
  std::vector<std::string> browse_prompts;
  std::vector<std::pair<std::string, std::string>> settings_on_open;
  std::vector<ProgressUpdate> progress_updates;

  bool show_message(const installer::Message& message) override;
  void note_reason(const std::string& reason) override;
  bool show_licence(const std::string& caption, const std::string& agreement) override;
  installer::DirectoryPageResult show_directory_page(installer::DirectoryDialog& dialog) override;
  std::optional<std::string> browse_for_folder(const std::string& prompt) override;
  installer::SettingsPageResult show_settings_page(installer::SettingsDialog& dialog) override;
  void show_progress(const installer::ProgressDialog& dialog) override;
  void draw_progress(const installer::ProgressDialog& dialog) override;
  void hide_progress() override;
  void destroy_progress() override;
  void open_readme(const std::string& path) override;
};

}  // namespace testing_support
