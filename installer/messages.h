// The installer's fixed names and every message box it can show (M1 to M8), with their exact
// texts, captions, buttons and icons. The builders return a Message for an InstallerUi; they
// hold no state.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "installer/installer_ui.h"

namespace installer {

inline constexpr std::string_view kProductTitle = "Velloc Pro DB 1.01";
inline constexpr std::string_view kProgramSubdirectory = "VLPro";
inline constexpr std::string_view kSamplesSubdirectory = "Samples";
inline constexpr std::string_view kMainArchive = "VLProDB.CAB";
inline constexpr std::string_view kSamplesArchive = "Samples.cab";
// Created inside the program directory in this order, each after its parent.
inline constexpr std::array<std::string_view, 4> kTemplateDirectories = {
    "Brannic", "Brannic/Templates", "Brannic/Templates/Mailer", "Brannic/Templates/SendFile"};
// Caption of the messages that bring no caption of their own.
inline constexpr std::string_view kApplicationTitle = "Setup Windows Application";

Message version_error_message(unsigned long error_code);                        // M1
Message unarchive_question();                                                   // M2
Message exit_setup_question();                                                  // M3
Message setup_unfinished_message();                                             // M4
Message directory_exists_question(const std::string& directory);                // M5
Message directory_error_message(const std::string& directory, int error_code);  // M6
Message extraction_error_message();                                             // M7
Message installation_complete_message();                                        // M8
// Shown in place of M8 for each archive that could not be installed completely. A
// `reason` (one line that says which file and why) follows on a line of its own in
// brackets, as M6 gives its error code.
Message installation_failed_message(const std::string& archive, const std::string& reason = "");

}  // namespace installer
