#include "installer/messages.h"

namespace installer {

namespace {

constexpr std::string_view kInstallationCaption = "Velloc Pro DB Installation";

Message make(std::string text, std::string_view caption, MessageButtons buttons, MessageIcon icon) {
  return Message{std::move(text), std::string(caption), buttons, icon};
}

}  // namespace

Message version_error_message(unsigned long error_code) {
  return make("Error returned from GetVersionEx(): " + std::to_string(error_code), "Version Error",
              MessageButtons::ok, MessageIcon::none);
}

Message unarchive_question() {
  return make("Do you wish to unarchive Velloc Pro DB now?", kInstallationCaption,
              MessageButtons::yes_no, MessageIcon::question);
}

Message exit_setup_question() {
  return make("Setup is not complete.  Are you sure you want to cancel?", "Exit Setup",
              MessageButtons::yes_no, MessageIcon::exclamation);
}

Message setup_unfinished_message() {
  return make("Setup did not finish correctly.", kApplicationTitle, MessageButtons::ok,
              MessageIcon::stop);
}

Message directory_exists_question(const std::string& directory) {
  return make(
      "Directory '" + directory + "' already exists!\nDo You Want To Continue With This Directory?",
      "Velloc Pro DB 1.01 Installation", MessageButtons::yes_no, MessageIcon::question);
}

Message directory_error_message(const std::string& directory, int error_code) {
  return make(
      "Error Creating '" + directory + "'!\n[Error Code: " + std::to_string(error_code) + "]",
      "Velloc Pro DB 1.01 Installation Warning", MessageButtons::ok, MessageIcon::stop);
}

Message extraction_error_message() {
  return make("Error", kApplicationTitle, MessageButtons::ok, MessageIcon::exclamation);
}

Message installation_complete_message() {
  return make("Installation has been successfully completed! Click OK to view the README file.\n",
              kInstallationCaption, MessageButtons::ok, MessageIcon::information);
}

Message installation_failed_message(const std::string& archive, const std::string& reason) {
  std::string text =
      "The files could not all be installed. Run the installer again; if it fails again, "
      "the archive '" +
      archive + "' is damaged.";
  if (!reason.empty()) text += "\n[" + reason + "]";
  return make(std::move(text), kApplicationTitle, MessageButtons::ok, MessageIcon::stop);
}

}  // namespace installer
