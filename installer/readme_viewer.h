// Hands the terminal to the user's viewer for the README at the end of an installation:
// $VISUAL, else $EDITOR, else sensible-pager, started without a shell and waited for. The
// caller must have given the terminal back (ended its own screen handling) before.
#pragma once

#include <string>
#include <vector>

namespace installer {

// The command line for the viewer: the first of `visual` and `editor` that is set and not
// blank, split at blanks into program and arguments (no shell quoting), else
// "sensible-pager"; the README path is the last argument.
std::vector<std::string> readme_viewer_command(const char* visual, const char* editor,
                                               const std::string& readme_path);

// Starts the command (the program is looked up in PATH) and waits until it ends. Whether it
// could start and how it ended is not reported.
void run_readme_viewer(const std::vector<std::string>& command);

}  // namespace installer
