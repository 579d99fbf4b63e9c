// State of the directory page: the two chosen directories and the folder buffers behind the
// two "Choose.." buttons. Created once per run and kept until the end, so every return to the
// page shows the values of the previous pass. Drawing it is the business of an InstallerUi.
#pragma once

#include <string>

#include "installer/folder_browser.h"
#include "installer/installer_ui.h"

namespace installer {

class DirectoryDialog {
 public:
  // `fallback_folder` stands in for a cancelled first pick (the current working directory).
  explicit DirectoryDialog(std::string fallback_folder);

  const std::string& caption() const;           // the product title
  const std::string& explanatory_text() const;  // four paragraphs, each ending "\r\n\r\n"
  const std::string& program_directory() const;
  const std::string& samples_directory() const;
  bool continue_enabled() const;

  // The two "Choose.." buttons: browse with the button's buffer, then set the directory to
  // the folder picked (or the fallback) with "VLPro" / "Samples" appended.
  void choose_program_directory(InstallerUi& ui);
  void choose_samples_directory(InstallerUi& ui);

  // Called when the page is shown: Continue starts enabled when a program directory is set.
  void page_opened();

 private:
  std::string fallback_folder_;
  std::string program_directory_;
  std::string samples_directory_;
  std::string program_buffer_;
  std::string samples_buffer_;
  bool continue_enabled_ = false;
};

}  // namespace installer
