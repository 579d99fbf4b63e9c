// Step 9: one record per submission appended to a text file, directly or
// through a work file from which the destination is rebuilt between a header
// and a footer. The whole export of one run holds an exclusive lock on the file
// it appends to, so concurrent runs never interleave records or rebuild from a
// stale work file. A run ended by the web server (SIGTERM) while a record is being
// appended ends once the record is whole, never leaving a cut row for the next record
// to join.
#pragma once

#include <iosfwd>
#include <string>

#include "velloc/templates/text_files.h"

struct MailMessage;
struct Run;

bool export_text_file(Run& run);

// Copies the file at `path` unchanged to `out`; `key_name` ("HEADER" or
// "FOOTER") names it in the message logged when it cannot be opened.
bool copy_text_file(const MailMessage& context, const char* key_name, const std::string& path,
                    std::ostream& out);
