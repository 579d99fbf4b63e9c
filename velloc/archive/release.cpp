#include "velloc/archive/release.h"

#include <chrono>
#include <optional>
#include <ostream>
#include <vector>

#include "platform/text.h"
#include "velloc/actions.h"
#include "velloc/archive/archive_commands.h"
#include "velloc/archive/archive_step.h"
#include "velloc/archive/archive_store.h"
#include "velloc/archive/archive_text.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/request/event_log.h"
#include "velloc/rules/rules_step.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"
#include "velloc/templates/template_paths.h"

namespace {

constexpr char kReceiptNumber[] = "RECEIPT_NUMBER";
constexpr char kReleaseAction[] = "release";
constexpr char kReceived[] = "received";
constexpr char kRecoveryAction[] = "recovery";

// The fields as the visitor sent them, added in the order sent. The receipt
// number keeps the one given then; the settings do not give a new one. The
// profile, whose field the run had dropped, and the defaults apply again as the
// settings hold them now.
void restore_request(Run& run, const ArchivedSubmission& submission,
                     const std::string& server_name) {
  for (const auto& [name, value] : submission.fields)
    if (!platform::equal_ignoring_case(name, kReceiptNumber)) run.request.fields.set(name, value);
  if (!submission.form_profile.empty())
    run.request.fields.set("FORM_PROFILE", submission.form_profile);
  run.request.environment.set("REMOTE_ADDR", submission.remote_address);
  run.request.environment.set("REQUEST_METHOD", "POST");
  if (!server_name.empty()) run.request.environment.set("SERVER_NAME", server_name);
}

// A submission held in the archive whose actions are run on request: one kept as
// spam and released by the operator, or one awaiting its visitor's confirmation.
struct HeldKind {
  const char* status;  // the status it is held in
  const char* action;  // the outcome recorded when it is taken
  const char* detail;  // that outcome's detail
  const char* done;    // "released" or "confirmed"
  bool keeps_anew;     // whether its keep_until is set again when it is taken
};

constexpr HeldKind kSpamRelease{"spam", kReleaseAction, "released by the operator", "released",
                                false};
constexpr HeldKind kConfirmation{"awaiting", "confirmation", "confirmed by its visitor",
                                 "confirmed", true};

bool was_taken(const ArchivedSubmission& submission, const HeldKind& kind) {
  for (const ActionOutcome& outcome : submission.outcomes)
    if (outcome.action == kind.action) return true;
  return false;
}

// kArchiveOk with the held submission `id` in `*submission`; else why not, said
// to `err`.
int find_held(ArchiveStore& store, const std::string& id, const HeldKind& kind,
              ArchivedSubmission* submission, std::ostream& err) {
  std::string error;
  std::optional<ArchivedSubmission> found;
  if (!store.find(id, &found, &error)) {
    err << "velloc: archive failed: " << error << '\n';
    return kArchiveFailed;
  }
  if (!found) {
    err << "velloc: no submission " << id << '\n';
    return kArchiveFailed;
  }
  if (found->status != kind.status && was_taken(*found, kind)) {
    err << "velloc: submission " << id << " was " << kind.done << " already\n";
    return kArchiveDoneAlready;
  }
  if (found->status != kind.status) {
    err << "velloc: submission " << id << " is " << found->status << ", not "
        << shown_status(kind.status) << '\n';
    return kArchiveFailed;
  }
  *submission = std::move(*found);
  return kArchiveOk;
}

// Marks the submission received (its actions underway) if it is still held: of
// takers started together only the first goes on.
// A confirmed submission, kept until its link expired while it waited, is kept from
// then on as long as KeepSubmissions says.
int claim_held(Run& run, ArchiveStore& store, const ArchivedSubmission& submission,
               const HeldKind& kind, std::ostream& err) {
  const std::string& id = submission.id;
  std::string error;
  bool claimed = false;
  ActionOutcome outcome{kind.action, "done", run.site.clock().unix_milliseconds(), kind.detail};
  std::int64_t keep_until =
      kind.keeps_anew ? kept_until(run.settings.keep_submissions_days, submission.received_at) : 0;
  if (!store.claim_submission(id, kind.status, kReceived, &outcome, keep_until, &claimed, &error)) {
    err << "velloc: archive failed: " << error << '\n';
    return kArchiveFailed;
  }
  if (claimed) return kArchiveOk;
  err << "velloc: submission " << id << " was " << kind.done << " already\n";
  return kArchiveDoneAlready;
}

// The visitor's files, read back from their copies under ArchiveFolder. A file
// kept without a copy (no ArchiveFolder then) is left out, and the log says so; a
// copy that is gone or changed stops the run before anything runs, and
// `*error` says why.
bool restore_uploads(Run& run, const ArchivedSubmission& submission, std::string* error) {
  for (const ArchivedUpload& kept : submission.uploads) {
    if (kept.stored_path.empty()) {
      log_event(run.message, 1, "Submission %s run again without upload %s: no copy was kept\n",
                submission.id.c_str(), kept.shown_name.c_str());
      continue;
    }
    if (!restore_upload(run, kept, error)) return false;
  }
  return true;
}

// The run of `submission` as its visitor's run was, with the settings of
// `settings_file` as they are now. May end by RunEnded (settings that cannot be
// used).
void rebuild_run(Run& run, const ArchivedSubmission& submission, const std::string& settings_file,
                 const std::string& server_name) {
  Site& site = run.site;
  restore_request(run, submission, server_name);
  init_mail_message(run.message, site.facts().host_name, site.facts().temp_directory);
  run.message.temp_files = site.temp_files();
  run.message.smtp_pool = site.smtp_pool();
  run.message.log = site.log_sink();
  run.message.clock = &site.clock();
  load_settings_from(run, settings_file);
  if (!submission.receipt_number.empty())
    run.request.set_field(kReceiptNumber, submission.receipt_number);
  resolve_template_paths(run);
  // Routed and acted on as the visitor's run was: the same rules decide again.
  apply_form_rules(run);
}

// The actions of the rebuilt run, its submission "received" while they run.
void run_archived_actions(Run& run, const std::string& id) {
  run.archive_id = id;
  ActionsUnderway underway(run);
  run_actions(run);
}

// What a killed run had recorded: its actions' outcomes and its deliveries.
std::vector<std::string> recorded_actions(const ArchivedSubmission& submission) {
  std::vector<std::string> done;
  for (const ActionOutcome& outcome : submission.outcomes) done.push_back(outcome.action);
  for (const Delivery& delivery : submission.deliveries) done.push_back(delivery.kind);
  return done;
}

// Runs the actions that the killed run of `id` had not recorded, claiming the
// submission first (of two --deliver, one does; a recovery killed in its turn is
// taken again once its hold has passed). Only a store that fails is an error; a
// failed action is the submission's, as in its own run.
int recover_submission(Site& site, ArchiveStore& store, const std::string& id,
                       const std::string& settings_file, std::int64_t now, std::ostream& out,
                       std::ostream& err) {
  std::string error;
  std::optional<ArchivedSubmission> found;
  bool claimed = false;
  ActionOutcome outcome{kRecoveryAction, "done", now, "its run ended before its actions did"};
  if (!store.find(id, &found, &error) ||
      (found && !store.claim_recovery(id, outcome, kDeliveryHoldMs, &claimed, &error))) {
    err << "velloc: archive failed: " << error << '\n';
    return kArchiveFailed;
  }
  if (!claimed) return kArchiveOk;
  Run recovered(site);
  recovered.actions_done = recorded_actions(*found);
  try {
    rebuild_run(recovered, *found, settings_file, "");
  } catch (const RunEnded&) {  // nothing ran: a --deliver after the next hold tries again
    out << id << " submission not recovered: the settings cannot be used\n";
    return kArchiveOk;
  }
  if (!restore_uploads(recovered, *found, &error)) {
    std::string ignored;
    store.add_outcome(id, {kRecoveryAction, "failed", now, error}, "failed", &ignored);
    out << id << " submission failed: " << error << '\n';
    return kArchiveOk;
  }
  log_event(recovered.message, 1,
            "Submission %s recovered: the actions its killed run had not recorded run now\n",
            id.c_str());
  try {
    run_archived_actions(recovered, id);
  } catch (const RunEnded&) {
    out << id << " submission recovered, but an action failed; see the log\n";
    return kArchiveOk;
  }
  out << id << " submission recovered\n";
  return kArchiveOk;
}

// Takes the held submission `id` (one conditional update) and runs its actions.
int run_held(Site& site, ArchiveStore& store, const std::string& id, const HeldKind& kind,
             const std::string& settings_file, const std::string& server_name, std::ostream& out,
             std::ostream& err) {
  ArchivedSubmission submission;
  if (int found = find_held(store, id, kind, &submission, err); found != kArchiveOk) return found;
  Run taken(site);
  try {
    rebuild_run(taken, submission, settings_file, server_name);
    if (std::optional<std::string> refused = refused_recipient(taken)) {
      err << "velloc: submission " << id << " not " << kind.done << ": recipient " << *refused
          << " is not allowed\n";
      return kArchiveFailed;
    }
    std::string error;
    if (!restore_uploads(taken, submission, &error)) {
      err << "velloc: submission " << id << " not " << kind.done << ": " << error << '\n';
      return kArchiveFailed;
    }
    if (int claimed = claim_held(taken, store, submission, kind, err); claimed != kArchiveOk)
      return claimed;
    log_event(taken.message, 5, "Submission %s %s; its actions run\n", id.c_str(), kind.done);
    run_archived_actions(taken, id);
  } catch (const RunEnded&) {
    err << "velloc: submission " << id << " " << kind.done
        << ", but an action failed; see the log\n";
    return kArchiveFailed;
  }
  out << kind.done << " " << id << '\n';
  return kArchiveOk;
}

}  // namespace

int release_submission(Site& site, ArchiveStore& store, const std::string& id,
                       const std::string& settings_file, const std::string& server_name,
                       std::ostream& out, std::ostream& err) {
  return run_held(site, store, id, kSpamRelease, settings_file, server_name, out, err);
}

int confirm_submission(Site& site, ArchiveStore& store, const std::string& id,
                       const std::string& settings_file, const std::string& server_name,
                       std::ostream& out, std::ostream& err) {
  return run_held(site, store, id, kConfirmation, settings_file, server_name, out, err);
}

int recover_submissions(Site& site, ArchiveStore& store, const std::string& settings_file,
                        std::int64_t now, std::ostream& out, std::ostream& err) {
  SubmissionFilter stranded;
  stranded.status = kReceived;
  stranded.until = now - kDeliveryHoldMs;
  std::string error;
  std::optional<std::vector<ArchivedSubmission>> listed = store.list(stranded, &error);
  if (!listed) {
    err << "velloc: archive failed: " << error << '\n';
    return kArchiveFailed;
  }
  for (const ArchivedSubmission& submission : *listed)
    if (int status = recover_submission(site, store, submission.id, settings_file, now, out, err);
        status != kArchiveOk)
      return status;
  return kArchiveOk;
}
