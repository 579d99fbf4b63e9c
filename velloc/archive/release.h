// Running the actions of an archived submission again: the operator's `velloc
// --release ID` of a submission kept as spam, and --deliver's recovery of one
// whose run was killed before its actions ended. The run is rebuilt from the
// archived fields, the visitor's address and the form profile of today's
// settings, and the pipeline's actions run for it as for an accepted submission,
// recording their outcomes on the archived one. The visitor's files come back
// from their copies under ArchiveFolder.
#pragma once

#include <cstdint>
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

// As release_submission, for submission `id` held "awaiting" its visitor's
// confirmation: marked received (outcome "confirmation") by one conditional update, so
// that a link opened twice runs the actions once (kArchiveDoneAlready the second
// time), then its actions run. Prints "confirmed ID".
int confirm_submission(Site& site, ArchiveStore& store, const std::string& id,
                       const std::string& settings_file, const std::string& server_name,
                       std::ostream& out, std::ostream& err);

// For --deliver at `now`: each submission still "received" a delivery hold
// (kDeliveryHoldMs) after it came, whose run was killed before its actions
// ended, is claimed (of two --deliver one takes it; a recovery killed too is
// taken again a hold later) and runs the actions its run had not recorded (no
// outcome, no delivery), with the settings of `settings_file` as they are now,
// as its own run would have; one line each to `out`. A failed
// action is the submission's, as in its own run. kArchiveFailed, with `err`
// saying so, only when the store fails.
int recover_submissions(Site& site, ArchiveStore& store, const std::string& settings_file,
                        std::int64_t now, std::ostream& out, std::ostream& err);
