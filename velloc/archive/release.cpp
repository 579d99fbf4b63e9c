#include "velloc/archive/release.h"

#include <chrono>
#include <ostream>

#include "platform/text.h"
#include "velloc/archive/archive_commands.h"
#include "velloc/archive/archive_step.h"
#include "velloc/archive/archive_store.h"
#include "velloc/pipeline.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"
#include "velloc/templates/template_paths.h"

namespace {

constexpr char kReceiptNumber[] = "RECEIPT_NUMBER";
constexpr char kReleaseAction[] = "release";

// The fields as the visitor's run held them: stored newest first within each
// listing bucket, so added again in reverse. The receipt number keeps the one
// given then; the settings do not give a new one. The profile, whose field the
// run had dropped, applies again as the settings hold it now.
void restore_request(Run& run, const ArchivedSubmission& submission,
                     const std::string& server_name) {
  for (auto field = submission.fields.rbegin(); field != submission.fields.rend(); ++field)
    if (!platform::equal_ignoring_case(field->first, kReceiptNumber))
      run.request.fields.set(field->first, field->second);
  if (!submission.form_profile.empty())
    run.request.fields.set("FORM_PROFILE", submission.form_profile);
  run.request.environment.set("REMOTE_ADDR", submission.remote_address);
  run.request.environment.set("REQUEST_METHOD", "POST");
  if (!server_name.empty()) run.request.environment.set("SERVER_NAME", server_name);
}

bool was_released(const ArchivedSubmission& submission) {
  for (const ActionOutcome& outcome : submission.outcomes)
    if (outcome.action == kReleaseAction) return true;
  return false;
}

// kArchiveOk with the spam submission `id` in `*submission`; else why not, said
// to `err`.
int find_spam(ArchiveStore& store, const std::string& id, ArchivedSubmission* submission,
              std::ostream& err) {
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
  if (found->status != "spam" && was_released(*found)) {
    err << "velloc: submission " << id << " was released already\n";
    return kArchiveDoneAlready;
  }
  if (found->status != "spam") {
    err << "velloc: submission " << id << " is " << found->status << ", not spam\n";
    return kArchiveFailed;
  }
  *submission = std::move(*found);
  return kArchiveOk;
}

// Marks the submission accepted if it is still spam: of releases started together
// only the first goes on.
int claim_release(Run& run, ArchiveStore& store, const std::string& id, std::ostream& err) {
  std::string error;
  bool claimed = false;
  ActionOutcome outcome{kReleaseAction, "done", run.site.clock().unix_milliseconds(),
                        "released by the operator"};
  if (!store.claim_submission(id, "spam", "accepted", outcome, &claimed, &error)) {
    err << "velloc: archive failed: " << error << '\n';
    return kArchiveFailed;
  }
  if (claimed) return kArchiveOk;
  err << "velloc: submission " << id << " was released already\n";
  return kArchiveDoneAlready;
}

// The visitor's files, read back from their copies under ArchiveFolder. A file
// kept without a copy (no ArchiveFolder then) is left out, and the log says so; a
// copy that is gone or changed stops the release before anything runs.
bool restore_uploads(Run& run, const ArchivedSubmission& submission, std::ostream& err) {
  for (const ArchivedUpload& kept : submission.uploads) {
    if (kept.stored_path.empty()) {
      log_event(run.message, 1, "Submission %s released without upload %s: no copy was kept\n",
                submission.id.c_str(), kept.shown_name.c_str());
      continue;
    }
    std::string error;
    if (!restore_upload(run, kept, &error)) {
      err << "velloc: submission " << submission.id << " not released: " << error << '\n';
      return false;
    }
  }
  return true;
}

}  // namespace

int release_submission(Site& site, ArchiveStore& store, const std::string& id,
                       const std::string& settings_file, const std::string& server_name,
                       std::ostream& out, std::ostream& err) {
  ArchivedSubmission submission;
  if (int found = find_spam(store, id, &submission, err); found != kArchiveOk) return found;
  Run released(site);
  restore_request(released, submission, server_name);
  try {
    init_mail_message(released.message, site.facts().host_name, site.facts().temp_directory);
    released.message.temp_files = site.temp_files();
    released.message.log = site.log_sink();
    released.message.clock = &site.clock();
    load_settings_from(released, settings_file);
    if (!submission.receipt_number.empty())
      released.request.set_field(kReceiptNumber, submission.receipt_number);
    resolve_template_paths(released);
    if (std::optional<std::string> refused = refused_recipient(released)) {
      err << "velloc: submission " << id << " not released: recipient " << *refused
          << " is not allowed\n";
      return kArchiveFailed;
    }
    if (!restore_uploads(released, submission, err)) return kArchiveFailed;
    released.archive_id = id;
    if (int claimed = claim_release(released, store, id, err); claimed != kArchiveOk)
      return claimed;
    log_event(released.message, 5, "Submission %s released; its actions run\n", id.c_str());
    run_actions(released);
  } catch (const RunEnded&) {
    err << "velloc: submission " << id << " released, but an action failed; see the log\n";
    return kArchiveFailed;
  }
  out << "released " << id << '\n';
  return kArchiveOk;
}
