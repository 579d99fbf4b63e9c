// The operator's commands over an open archive: listing, showing and exporting
// submissions, purging those kept past their time and erasing a person's. The
// store and the streams are the caller's; nothing here reads the environment.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "velloc/archive/archive_options.h"
#include "velloc/archive/archive_store.h"

// Exit statuses of the commands.
inline constexpr int kArchiveOk = 0;
inline constexpr int kArchiveFailed = 1;  // the store failed, or no such submission

// Runs the command at time `now` (milliseconds since the epoch): its output to
// `out`, a message naming what failed to `err`.
int run_archive_command(const ArchiveOptions& options, ArchiveStore& store, std::int64_t now,
                        std::ostream& out, std::ostream& err);
