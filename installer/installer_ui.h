// The one interface through which the installation sequence talks to the person installing:
// message boxes, the licence, directory and settings pages, the folder browser, the progress
// window and the README at the end. The sequence owns all page state (DirectoryDialog,
// SettingsDialog, ProgressDialog); an implementation only shows that state and reports what
// the user did. Implementations: terminal dialogs (newt_ui), answers taken from the command
// line (unattended_ui) and a scripted one that tests use.
#pragma once

#include <optional>
#include <string>

namespace installer {

class DirectoryDialog;
class ProgressDialog;
class SettingsDialog;

enum class MessageButtons { ok, yes_no };
enum class MessageIcon { none, question, exclamation, stop, information };

struct Message {
  std::string text;
  std::string caption;
  MessageButtons buttons = MessageButtons::ok;
  MessageIcon icon = MessageIcon::none;
};

enum class DirectoryPageResult { continue_install, exit };
// `cancel` is the Cancel button, Escape or the close box; the sequence then asks M3.
enum class SettingsPageResult { ok, cancel };

class InstallerUi {
 public:
  virtual ~InstallerUi() = default;

  // A modal message box. Returns true for Yes (and for OK), false for No.
  virtual bool show_message(const Message& message) = 0;

  // One line (without a line end) that says why the message shown last was shown, for the
  // record of an installation without a person watching. The dialogs show nothing of it.
  virtual void note_reason(const std::string& /*reason*/) {}

  // The licence page with `caption` and the prepared agreement text (lines end in CR LF).
  // True when accepted with Yes; false for No, Escape or the close box.
  virtual bool show_licence(const std::string& caption, const std::string& agreement) = 0;

  // Runs the directory page until Continue or Exit. Each "Choose.." button calls
  // dialog.choose_program_directory(*this) or dialog.choose_samples_directory(*this) and
  // then shows the dialog's new values; Continue may only be taken while
  // dialog.continue_enabled().
  virtual DirectoryPageResult show_directory_page(DirectoryDialog& dialog) = 0;

  // The platform's modal folder browser, started without a preselected folder. Returns the
  // full path of the confirmed folder, or nothing when the user cancels.
  virtual std::optional<std::string> browse_for_folder(const std::string& prompt) = 0;

  // Runs the settings page until OK or a cancel request. Typing goes through
  // dialog.set_smtp_server / set_default_recipient, focus changes through dialog.focus(...);
  // OK may only be taken while dialog.ok_enabled(). The fields keep their texts when the
  // page is shown again after a declined M3.
  virtual SettingsPageResult show_settings_page(SettingsDialog& dialog) = 0;

  // The progress window: shown (centred) and hidden by the sequence, repainted at once
  // after every update_progress, destroyed at most once per creation.
  virtual void show_progress(const ProgressDialog& dialog) = 0;
  virtual void draw_progress(const ProgressDialog& dialog) = 0;
  virtual void hide_progress() = 0;
  virtual void destroy_progress() = 0;

  // The last act of a finished installation: hands the terminal to a viewer of the README
  // (terminal) or names its path (unattended). The outcome is not checked.
  virtual void open_readme(const std::string& path) = 0;
};

}  // namespace installer
