// The operator's command line of the archive: which command, the settings file
// that names the store, and the filters of a listing or an export. Parsing is
// pure; the entry point runs the command (archive_commands.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velloc/archive/archive_store.h"

struct ArchiveOptions {
  enum class Command { kList, kShow, kExport, kPurge, kErase, kRelease, kDeliver, kResend };
  Command command = Command::kList;
  std::string settings_file;  // --settings; empty: looked for as a web run does
  SubmissionFilter filter;    // --list and --export
  bool json = false;          // --json, or --export json
  std::string id;             // --show, --release, --resend
  std::int64_t now = 0;       // --deliver --now (milliseconds); 0: the clock's
  std::string address;        // --erase
};

// Whether the arguments (without the program name) ask for an archive command
// rather than the server.
bool is_archive_command_line(const std::vector<std::string>& arguments);

// nullopt with `*error` set for an unknown option, a missing or bad value, no
// command or two of them, or a filter given to a command that takes none.
// Values follow their option as the next argument or after "=".
std::optional<ArchiveOptions> parse_archive_options(const std::vector<std::string>& arguments,
                                                    std::string* error);

// The archive's part of --help.
std::string archive_usage();
