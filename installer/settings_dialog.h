// State of the settings page: the SMTP server and default recipient as typed, the rule that
// enables OK and the help text that follows the focus. Drawing it is the business of an
// InstallerUi; the sequence reads the texts after OK.
#pragma once

#include <string>

namespace installer {

enum class SettingsField { smtp_server, default_recipient };

class SettingsDialog {
 public:
  // Opens with both fields empty, the focus on the SMTP field and OK disabled.
  SettingsDialog();

  const std::string& caption() const;  // "Velloc Pro DB Installation"
  const std::string& smtp_server() const;
  const std::string& default_recipient() const;
  void set_smtp_server(std::string text);
  void set_default_recipient(std::string text);

  // OK is enabled exactly when both fields hold at least one character (spaces count).
  bool ok_enabled() const;

  void focus(SettingsField field);
  SettingsField focused() const;
  const std::string& help_text() const;  // help for the focused field

 private:
  std::string smtp_server_;
  std::string default_recipient_;
  SettingsField focused_ = SettingsField::smtp_server;
};

}  // namespace installer
