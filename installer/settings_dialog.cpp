#include "installer/settings_dialog.h"

namespace installer {

namespace {

const std::string kCaption = "Velloc Pro DB Installation";

const std::string kSmtpHelp =
    "This is the name of your SMTP (Simple Mail Transfer Protocol) server.  A typical mail "
    "server host name is mail.example.com.  Velloc Pro DB will connnect to this mail server "
    "to send e-mail messages.";

const std::string kRecipientHelp =
    "This is the default e-mail address that receives the form results if the EMAIL form "
    "variable is not explicitly to set to another address in your HTML form, and is also the "
    "return e-mail address in the optional e-mail message to the end-user.";

}  // namespace

SettingsDialog::SettingsDialog() = default;

const std::string& SettingsDialog::caption() const { return kCaption; }
const std::string& SettingsDialog::smtp_server() const { return smtp_server_; }
const std::string& SettingsDialog::default_recipient() const { return default_recipient_; }
void SettingsDialog::set_smtp_server(std::string text) { smtp_server_ = std::move(text); }
void SettingsDialog::set_default_recipient(std::string text) {
  default_recipient_ = std::move(text);
}

bool SettingsDialog::ok_enabled() const {
  return !smtp_server_.empty() && !default_recipient_.empty();
}

void SettingsDialog::focus(SettingsField field) { focused_ = field; }
SettingsField SettingsDialog::focused() const { return focused_; }

const std::string& SettingsDialog::help_text() const {
  return focused_ == SettingsField::smtp_server ? kSmtpHelp : kRecipientHelp;
}

}  // namespace installer
