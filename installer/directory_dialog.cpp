#include "installer/directory_dialog.h"

#include "installer/folder_browser.h"
#include "installer/messages.h"

namespace installer {

namespace {

constexpr std::string_view kChoosePrompt = "Please choose a location for installation.";

const std::string kExplanatoryText =
    "You will need to choose a directory to install executables and documentation, and a "
    "directory to install sample HTML forms.\r\n\r\n"
    "A directory named VLPro will be created in the directory you select for executables and "
    "documentation.  Depending on your web server software, you may want to select your "
    "server's \"cgi-bin\" or \"scripts\" directory for the executables and documentation."
    "\r\n\r\n"
    "The samples HTML form files will be installed in a directory named SAMPLES in the "
    "directory you select for sample files.  This should be a directory that your web server "
    "software recognizes as a document directory where HTML files are located.\r\n\r\n"
    "If you plan to use this software on a remote machine, you will need to manually upload "
    "(ie: FTP or other means) to the desired destination.\r\n\r\n";

const std::string kCaption(kProductTitle);

std::string with_subdirectory(std::string folder, std::string_view subdirectory) {
  if (!folder.ends_with('/')) folder += '/';
  return folder + std::string(subdirectory);
}

}  // namespace

DirectoryDialog::DirectoryDialog(std::string fallback_folder)
    : fallback_folder_(std::move(fallback_folder)) {}

const std::string& DirectoryDialog::caption() const { return kCaption; }
const std::string& DirectoryDialog::explanatory_text() const { return kExplanatoryText; }
const std::string& DirectoryDialog::program_directory() const { return program_directory_; }
const std::string& DirectoryDialog::samples_directory() const { return samples_directory_; }
bool DirectoryDialog::continue_enabled() const { return continue_enabled_; }

void DirectoryDialog::choose_program_directory(InstallerUi& ui) {
  std::optional<std::string> folder = browse_for_folder(ui, program_buffer_, kChoosePrompt);
  program_directory_ = with_subdirectory(folder.value_or(fallback_folder_), kProgramSubdirectory);
  continue_enabled_ = true;
}

void DirectoryDialog::choose_samples_directory(InstallerUi& ui) {
  std::optional<std::string> folder = browse_for_folder(ui, samples_buffer_, kChoosePrompt);
  samples_directory_ = with_subdirectory(folder.value_or(fallback_folder_), kSamplesSubdirectory);
  continue_enabled_ = true;
}

void DirectoryDialog::page_opened() { continue_enabled_ = !program_directory_.empty(); }

}  // namespace installer
