// Entry of the setup program: picks the user interface from the command line, runs the
// installation sequence and turns its outcome into the exit status.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "installer/command_line.h"
#include "installer/install_sequence.h"
#include "installer/newt_ui.h"
#include "installer/unattended_ui.h"

namespace {

constexpr int kFinished = 0;
constexpr int kNotFinished = 1;
constexpr int kUsageError = 2;

int usage_error(const std::string& error) {
  std::cerr << "installer: " << error << "\n" << installer::usage_text();
  return kUsageError;
}

int exit_status(bool finished) { return finished ? kFinished : kNotFinished; }

int run_unattended(const installer::UnattendedAnswers& answers) {
  installer::UnattendedUi ui(answers, std::cout, std::cerr);
  installer::ProgressPacing no_pauses{std::chrono::milliseconds(0), std::chrono::milliseconds(0)};
  return exit_status(
      installer::run_install_sequence(ui, installer::default_install_options(no_pauses)));
}

int run_in_terminal() {
  if (!isatty(STDIN_FILENO)) return usage_error("standard input is not a terminal");
  installer::InstallOptions options = installer::default_install_options({});
  try {
    std::vector<std::string> notes;
    bool finished = false;
    {
      installer::NewtUi ui;
      finished = installer::run_install_sequence(ui, options);
      notes = ui.notes();
    }
    // What the dialogs do not show (a kept settings file, a file that could not be
    // written, a running server told of the new program), once the terminal is back.
    for (const std::string& note : notes) std::cerr << note << '\n';
    return exit_status(finished);
  } catch (const installer::TerminalInputLost& lost) {
    std::cerr << lost.what() << '\n';
    return kNotFinished;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  std::optional<installer::CommandLine> line = installer::parse_command_line(arguments, error);
  if (!line) return usage_error(error);
  switch (line->mode) {
    case installer::RunMode::help:
      std::cout << installer::usage_text();
      return kFinished;
    case installer::RunMode::unattended:
      return run_unattended(line->answers);
    case installer::RunMode::terminal:
      break;
  }
  return run_in_terminal();
}
