// Releasing a submission kept as spam: the operator's `velloc --release ID`. The
// run is rebuilt from the archived fields, the visitor's address and the form
// profile of today's settings, and the pipeline's actions run for it as for an
// accepted submission, recording their outcomes on the archived one. The visitor's
// files come back from their copies under ArchiveFolder.
#pragma once

#include <iosfwd>
#include <string>

#include "velloc/site.h"

class ArchiveStore;

// Runs the actions of spam submission `id` of `store`, the archive that
// `settings_file` names, with that file's settings, and marks it accepted first
// (a failing action then marks it failed): one conditional update, so that of
// releases started together only one runs the actions. The form mail's
// recipients are checked as a web run checks them now, with `server_name` as the
// request's SERVER_NAME (empty: none, so without AllowedRecipients only
// DefaultRecipient and webmaster). Returns kArchiveOk; kArchiveDoneAlready with
// `err` saying so when it was released already (by a release started with this
// one, say); else kArchiveFailed with `err` naming why: no such submission, one
// that is not spam, a recipient not allowed, a store or action that failed.
int release_submission(Site& site, ArchiveStore& store, const std::string& id,
                       const std::string& settings_file, const std::string& server_name,
                       std::ostream& out, std::ostream& err);
