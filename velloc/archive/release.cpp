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

// The fields as the visitor sent them, added in the order sent. The receipt
// number keeps the one given then; the settings do not give a new one. The
// profile, whose field the run had dropped, and the defaults apply again as the
// settings hold them now.
void restore_request(Run& run, const ArchivedSubmission& submission) {
  for (const auto& [name, value] : submission.fields)
    if (!platform::equal_ignoring_case(name, kReceiptNumber)) run.request.fields.set(name, value);
  if (!submission.form_profile.empty())
    run.request.fields.set("FORM_PROFILE", submission.form_profile);
  run.request.environment.set("REMOTE_ADDR", submission.remote_address);
  run.request.environment.set("REQUEST_METHOD", "POST");
}

bool find_spam(ArchiveStore& store, const std::string& id, ArchivedSubmission* submission,
               std::ostream& err) {
  std::string error;
  std::optional<ArchivedSubmission> found;
  if (!store.find(id, &found, &error)) {
    err << "velloc: archive failed: " << error << '\n';
    return false;
  }
  if (!found) {
    err << "velloc: no submission " << id << '\n';
    return false;
  }
  if (found->status != "spam") {
    err << "velloc: submission " << id << " is " << found->status << ", not spam\n";
    return false;
  }
  *submission = std::move(*found);
  return true;
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
                       const std::string& settings_file, std::ostream& out, std::ostream& err) {
  std::string error;
  ArchivedSubmission submission;
  if (!find_spam(store, id, &submission, err)) return kArchiveFailed;
  Run released(site);
  restore_request(released, submission);
  try {
    init_mail_message(released.message, site.facts().host_name, site.facts().temp_directory);
    released.message.temp_files = site.temp_files();
    released.message.log = site.log_sink();
    released.message.clock = &site.clock();
    load_settings_from(released, settings_file);
    if (!submission.receipt_number.empty())
      released.request.set_field(kReceiptNumber, submission.receipt_number);
    resolve_template_paths(released);
    if (!restore_uploads(released, submission, err)) return kArchiveFailed;
    released.archive_id = id;
    if (!store.add_outcome(
            id, {"release", "done", site.clock().unix_milliseconds(), "released by the operator"},
            "accepted", &error)) {
      err << "velloc: archive failed: " << error << '\n';
      return kArchiveFailed;
    }
    log_event(released.message, 5, "Submission %s released; its actions run\n", id.c_str());
    run_actions(released);
  } catch (const RunEnded&) {
    err << "velloc: submission " << id << " released, but an action failed; see the log\n";
    return kArchiveFailed;
  }
  out << "released " << id << '\n';
  return kArchiveOk;
}
