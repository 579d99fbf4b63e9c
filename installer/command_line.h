// The installer's command line: no arguments for the terminal dialogs, --unattended with
// the answers to every page, or --help.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installer/unattended_ui.h"

namespace installer {

enum class RunMode { terminal, unattended, help };

struct CommandLine {
  RunMode mode = RunMode::terminal;
  UnattendedAnswers answers;  // for RunMode::unattended
};

// Parses argv[1..]. Nothing, with `error` set, for a usage error: an unknown option, a
// missing value, answers without --unattended, or --unattended without --program-folder,
// --samples-folder, --smtp and --recipient (their values may be empty).
std::optional<CommandLine> parse_command_line(const std::vector<std::string>& arguments,
                                              std::string& error);

std::string_view usage_text();

}  // namespace installer
