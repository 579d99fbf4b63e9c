// The operator's commands over an open archive: listing, showing and exporting
// submissions, purging those kept past their time and erasing a person's. The
// store and the streams are the caller's; nothing here reads the environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "velloc/archive/archive_options.h"
#include "velloc/archive/archive_store.h"
#include "velloc/guard/state_store.h"

// Exit statuses of the commands.
inline constexpr int kArchiveOk = 0;
inline constexpr int kArchiveFailed = 1;  // the store failed, or no such submission
// A release, resend or retry that another run (or an earlier one) made already:
// nothing done. The command line exits with kArchiveFailed for it.
inline constexpr int kArchiveDoneAlready = 3;

// Runs the command at time `now` (milliseconds since the epoch): its output to
// `out`, a message naming what failed to `err`. `state` is the rate-limit store
// beside the archive, from which --erase deletes the address's receipt count.
int run_archive_command(const ArchiveOptions& options, ArchiveStore& store, StateStore& state,
                        std::int64_t now, std::ostream& out, std::ostream& err);

// --export: every submission `filter` selects, whole, as CSV (formula-safe) or
// JSON, read a page at a time (`page` submissions at most, fewer when their fields
// are large: ArchiveStore::records) and handed to `write` piece by piece, each
// piece whole submissions (or the text around them); memory stays that of one page
// and of at most kCsvFieldColumns names, whatever the archive holds. A store that
// fails on the way ends the text there and returns kArchiveFailed.
inline constexpr int kExportPage = 500;
// The CSV's columns of field names at most: past them, the names held by the
// fewest submissions share one column of name=value pairs. With the six columns
// before them and that one, within what any spreadsheet opens.
inline constexpr std::size_t kCsvFieldColumns = 1000;
int export_submissions(ArchiveStore& store, const SubmissionFilter& filter, bool json,
                       const std::function<void(std::string&&)>& write, std::ostream& err,
                       int page = kExportPage);

// Deletes submission `id` as --erase deletes each it finds: its records, its
// deliveries and its files. kArchiveFailed when there is none of that id.
int erase_submission(ArchiveStore& store, const std::string& id, std::ostream& out,
                     std::ostream& err);
