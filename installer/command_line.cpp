#include "installer/command_line.h"

#include <map>

namespace installer {

namespace {

constexpr std::string_view kUsage =
    "usage: installer\n"
    "       installer --unattended [--accept-license] --program-folder DIR --samples-folder DIR\n"
    "                 --smtp SERVER --recipient ADDRESS [--existing continue|stop]\n"
    "       installer --help\n"
    "\n"
    "Without arguments the installer shows its pages as terminal dialogs (standard input\n"
    "must be a terminal). --unattended answers every page from the options: the licence is\n"
    "accepted only with --accept-license, and an existing directory is used only with\n"
    "--existing continue. Exit status: 0 when the installation finished, 1 when it did not,\n"
    "2 for a usage error.\n";

// Options that take a value, and where the value goes.
std::string* value_slot(const std::string& option, UnattendedAnswers& answers) {
  if (option == "--program-folder") return &answers.program_folder;
  if (option == "--samples-folder") return &answers.samples_folder;
  if (option == "--smtp") return &answers.smtp_server;
  if (option == "--recipient") return &answers.default_recipient;
  return nullptr;
}

bool apply_existing(const std::string& value, UnattendedAnswers& answers, std::string& error) {
  if (value != "continue" && value != "stop") {
    error = "--existing takes continue or stop, not '" + value + "'";
    return false;
  }
  answers.continue_existing = value == "continue";
  return true;
}

std::optional<std::string> missing_answer(const std::map<std::string, bool>& given) {
  for (const char* option : {"--program-folder", "--samples-folder", "--smtp", "--recipient"}) {
    if (!given.contains(option)) return std::string(option);
  }
  return std::nullopt;
}

}  // namespace

std::optional<CommandLine> parse_command_line(const std::vector<std::string>& arguments,
                                              std::string& error) {
  CommandLine line;
  std::map<std::string, bool> given;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help") return CommandLine{RunMode::help, {}};
    if (option == "--unattended" || option == "--accept-license") {
      given[option] = true;
      continue;
    }
    std::string* slot = value_slot(option, line.answers);
    if (slot == nullptr && option != "--existing") {
      error = "unknown option '" + option + "'";
      return std::nullopt;
    }
    if (i + 1 == arguments.size()) {
      error = option + " needs a value";
      return std::nullopt;
    }
    const std::string& value = arguments[++i];
    if (slot != nullptr) {
      *slot = value;
    } else if (!apply_existing(value, line.answers, error)) {
      return std::nullopt;
    }
    given[option] = true;
  }
  if (!given.contains("--unattended")) {
    if (given.empty()) return line;
    error = "the answers need --unattended";
    return std::nullopt;
  }
  if (std::optional<std::string> missing = missing_answer(given)) {
    error = "--unattended needs " + *missing;
    return std::nullopt;
  }
  line.mode = RunMode::unattended;
  line.answers.accept_licence = given.contains("--accept-license");
  return line;
}

std::string_view usage_text() { return kUsage; }

}  // namespace installer
