// The archive's part in a run. With Archive=1 a submission that passed every
// check is written to the archive before any action runs, and each action then
// records its outcome on it. A run without Archive=1 touches nothing here.
#pragma once

#include <cstdint>
#include <string>

struct ArchivedUpload;
struct Run;

// Step after the limit checks: keeps the submission, its fields and its uploads
// (their digests; copies under ArchiveFolder when set) in one transaction, with
// the status "received" until its actions end (ActionsUnderway), or "awaiting" its
// visitor's confirmation with ConfirmField (held, purged when its link expires). When it cannot
// be kept the run ends with the failure page and a log line that says why,
// before anything is stored or sent.
void archive_submission(Run& run);

// Queue mode, once the run's actions end: keeps the submission gathered in the run's
// batch with its outcomes and queued deliveries in one transaction, "accepted" unless
// an action failed, and wakes the delivery work. When that fails the run ends with the
// failure page (the upload copies go). Nothing for a run without a batch.
void keep_archive_batch(Run& run);

// While it lives the run's actions are running and its archived submission is
// "received"; when it goes, also when an action ends the run, the submission
// becomes "accepted" unless an action marked it failed. A run killed before
// leaves it "received", and `velloc --deliver` runs the actions it had not
// recorded (recover_submissions). Nothing for a run that is not archived; a
// store failure is logged.
class ActionsUnderway {
 public:
  explicit ActionsUnderway(Run& run) : run_(run) {}
  ~ActionsUnderway();
  ActionsUnderway(const ActionsUnderway&) = delete;
  ActionsUnderway& operator=(const ActionsUnderway&) = delete;

 private:
  Run& run_;
};

// For a release: the copy of `kept` under ArchiveFolder, read back into a temporary
// file of the run and added to its uploads, so that the form mail attaches it as the
// visitor sent it. False with `*error` set when the copy is gone, unreadable or no
// longer the file that was kept (its digest differs).
bool restore_upload(Run& run, const ArchivedUpload& kept, std::string* error);

// When a submission received at `received_at` (milliseconds) is purged, kept for
// `keep_days` (KeepSubmissions; 0: until it is erased).
std::int64_t kept_until(int keep_days, std::int64_t received_at);

// For the honeypot: keeps the submission with the status "spam". A failure is
// logged only; the visitor's answer does not change.
void archive_spam(Run& run);

// The outcome of one action on the run's archived submission: created when the
// action starts, it records "failed" when it goes without done() having been
// called, also when the action ends the run by throwing. A failed form mail or
// receipt marks the submission "failed". Records nothing for a run that is not
// archived; a store failure is logged and never ends the run.
class ActionRecord {
 public:
  // `action`: "database", "text_export", "form_mail" or "receipt".
  ActionRecord(Run& run, const char* action) : run_(run), action_(action) {}
  ~ActionRecord();
  ActionRecord(const ActionRecord&) = delete;
  ActionRecord& operator=(const ActionRecord&) = delete;

  void done(std::string detail);
  // done() with `detail` when `ok`, else the failure recorded now; returns `ok`.
  bool finish(bool ok, std::string detail);

 private:
  void record(const char* result, const std::string& detail);

  Run& run_;
  const char* action_;
  bool recorded_ = false;
};
