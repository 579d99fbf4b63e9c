// Finding the persistent velloc that runs from a program folder, so that an upgrade can
// tell it to start the new program. Only /proc is read; processes of other users, whose
// program file cannot be read, are never found.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace installer {

// The supervisors of persistent servers running `program_file` (an absolute path without
// symbolic links): processes whose program is that file, or was it before a new file was
// renamed over it, that have a child running it too (a worker), whose parent does not, and
// that hold SIGHUP blocked (they wait for it) or ignore it. A run of the program as a CGI
// script, which SIGHUP ends, is never among them.
std::vector<pid_t> running_servers(const std::string& program_file);

// Sends SIGHUP to each supervisor running program_directory + "/velloc", which then executes
// the new program in its own process. Returns the line that says which were told; empty
// when none runs.
std::string restart_running_servers(const std::string& program_directory);

}  // namespace installer
