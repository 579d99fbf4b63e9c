// The temporary files of a run's mail: body, header and encrypted files, each a new
// empty file in the run's temporary directory. The caller owns the file and deletes it
// (the SMTP session does so for the files it sends).
#pragma once

#include <string>

struct Run;

// A new empty file ("VLM" prefix) in the run's temporary directory; ends the run
// when none can be made.
std::string make_mail_temp_file(Run& run);
