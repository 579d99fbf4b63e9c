// The temporary files of a run's mail: body, header and encrypted files, each a new
// empty file in the run's temporary directory, written only through the descriptor that
// made it. The TempFile owns the file and removes it when it goes, on every path.
#pragma once

#include <optional>

#include "platform/temp_file.h"

struct MailMessage;

// A new empty file ("VLM" prefix) in the run's temporary directory, listed in the run's
// registry; ends the run when none can be made or the directory is a link that the
// settings do not allow.
platform::TempFile make_mail_temp_file(const MailMessage& message);

// A new empty file ("VLM" prefix) in the temporary directory of `message` (the
// system's when it names none), listed in its registry; nullopt, logged, when none
// can be made there.
std::optional<platform::TempFile> make_message_temp_file(const MailMessage& message);

// Whether the temporary directory of `message` may be used: an existing folder that is
// not a symbolic link, unless the settings allow links. Logs the refusal.
bool temp_directory_allowed(const MailMessage& message);
