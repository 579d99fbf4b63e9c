#include "velloc/archive/archive_step.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <random>
#include <vector>

#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "platform/text.h"
#include "velloc/archive/archive_batch.h"
#include "velloc/archive/archive_store.h"
#include "velloc/archive/archive_text.h"
#include "velloc/archive/sha256.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/mail/mail_temp_file.h"
#include "velloc/mail/mime.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

using text::kNotKept;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::int64_t kMsPerDay = 86400 * 1000LL;
constexpr char kReceiptNumber[] = "RECEIPT_NUMBER";
constexpr char kReceived[] = "received";
constexpr char kAwaiting[] = "awaiting";
constexpr std::int64_t kSecondsPerHour = 3600;

std::string folder_prefix(const std::string& folder) {
  if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder;
  return folder + "/";
}

ArchiveStore* archive_store(Run& run, std::string* error) {
  return run.site.archive_store(
      state_connection_string(run.settings.state_dsn, run.settings.settings_file), error);
}

// Reads the upload whole from its start, digesting it and writing it to `copy_fd`
// when that is open. False with `*error` set when either fails.
bool digest_upload(int in, int copy_fd, ArchivedUpload& upload, std::string* error) {
  Sha256 digest;
  std::vector<char> chunk(kReadChunk);
  for (off_t offset = 0;;) {
    ssize_t count = pread(in, chunk.data(), chunk.size(), offset);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      *error = "cannot read upload " + upload.shown_name;
      return false;
    }
    if (count == 0) break;
    offset += count;
    std::size_t size = static_cast<std::size_t>(count);
    digest.update(std::string_view(chunk.data(), size));
    if (copy_fd >= 0 && !platform::write_all(copy_fd, chunk.data(), size)) {
      *error = "cannot write the copy of upload " + upload.shown_name;
      return false;
    }
  }
  upload.sha256 = digest.hex_digest();
  return true;
}

// The upload's record and, with a folder, its copy "<id>-<n>" there: a name of
// ours, never the visitor's, opened without following a link planted there.
bool archive_upload(Run& run, const Upload& sent, std::size_t index, ArchivedUpload& upload,
                    std::string* error) {
  upload.field = sent.field;
  upload.shown_name = sent.shown_name;
  upload.content_type = content_type_for_name(sent.shown_name);
  upload.size = sent.size;
  int in = run.request.upload_files.descriptor_of(sent.path);
  int opened = in >= 0 ? -1
                       : platform::open_regular_file(platform::native_path(sent.path).c_str(),
                                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  int copy_fd = -1;
  const std::string& folder = run.settings.archive_folder;
  if (!folder.empty()) {
    upload.stored_path = folder_prefix(folder) + run.archive_id + "-" + std::to_string(index + 1);
    copy_fd =
        platform::open_output_file(platform::native_path_for_create(upload.stored_path).c_str(),
                                   platform::OutputMode::kReplace);
  }
  bool ok = true;
  if (in < 0 && opened < 0) {
    *error = "cannot open upload " + sent.shown_name;
    ok = false;
  } else if (!folder.empty() && copy_fd < 0) {
    *error = "cannot create " + upload.stored_path;
    ok = false;
  }
  ok = ok && digest_upload(in >= 0 ? in : opened, copy_fd, upload, error);
  if (opened >= 0) close(opened);
  if (copy_fd >= 0 && close(copy_fd) != 0 && ok) {
    *error = "cannot write " + upload.stored_path;
    ok = false;
  }
  return ok;
}

void remove_copies(const ArchivedSubmission& submission) {
  for (const ArchivedUpload& upload : submission.uploads)
    if (!upload.stored_path.empty()) unlink(platform::native_path(upload.stored_path).c_str());
}

bool folder_usable(const Run& run, std::string* error) {
  const std::string& folder = run.settings.archive_folder;
  if (folder.empty() || run.message.follow_links ||
      !platform::is_folder_link(platform::native_path(folder)))
    return true;
  *error = "archive folder " + folder + " is a link; set FollowLinks=1 to allow it";
  return false;
}

ArchivedSubmission submission_of(const Run& run, std::int64_t now, const char* status) {
  ArchivedSubmission submission;
  submission.id = run.archive_id;
  submission.received_at = now;
  submission.keep_until = kept_until(run.settings.keep_submissions_days, now);
  // One awaiting its visitor's confirmation is purged when its link expires.
  if (run.confirm_expires_at != 0)
    submission.keep_until = std::min(submission.keep_until, run.confirm_expires_at * 1000);
  submission.form_profile = form_profile_name(run.settings);
  submission.tags = run.tags;
  submission.remote_address = run.request.get_env("REMOTE_ADDR");
  submission.receipt_number = run.request.get_field(kReceiptNumber);
  submission.status = status;
  // The visitor's fields in the order sent, which a release sends again under the
  // profile and the defaults as the settings hold them then; the receipt number is
  // the one this run gave.
  const FieldMap& fields = run.visitor_fields ? *run.visitor_fields : run.request.fields;
  fields.for_each_added([&](const std::string& name, const std::string& value) {
    submission.fields.emplace_back(name,
                                   name == kReceiptNumber ? submission.receipt_number : value);
  });
  return submission;
}

// The whole record in one transaction; copies made for it go when it fails.
bool write_archive(Run& run, const char* status, std::string* error) {
  ArchiveStore* store = archive_store(run, error);
  if (store == nullptr) return false;
  std::int64_t now = run.site.clock().unix_milliseconds();
  std::random_device random;
  run.archive_id = make_archive_id(now, random());
  if (std::string_view(status) == kAwaiting)
    run.confirm_expires_at = now / 1000 + run.settings.confirm_hours * kSecondsPerHour;
  ArchivedSubmission submission = submission_of(run, now, status);
  bool ok = folder_usable(run, error);
  for (std::size_t i = 0; ok && i < run.request.uploads.size(); ++i)
    ok = archive_upload(run, run.request.uploads[i], i, submission.uploads.emplace_back(), error);
  // Queue mode: kept with its outcomes and deliveries once its actions end.
  if (ok && run.settings.delivery_queue && std::string_view(status) == kReceived) {
    run.archive_batch = std::make_shared<ArchiveBatch>();
    run.archive_batch->submission = std::move(submission);
    return true;
  }
  if (ok && !store->add_submission(submission, error)) {
    run.site.archive_store_failed();
    ok = false;
  }
  if (ok) return true;
  remove_copies(submission);
  run.archive_id.clear();
  run.confirm_expires_at = 0;
  return false;
}

}  // namespace

void archive_submission(Run& run) {
  if (!run.settings.archive) {
    if (run.settings.delivery_queue)
      log_event(run.message, 1, "Delivery=queue needs Archive=1: the mail is sent at once\n");
    if (!run.settings.confirm_field.empty())
      log_event(run.message, 1, "ConfirmField needs Archive=1: the actions run unconfirmed\n");
    return;
  }
  std::string error;
  bool held = !run.settings.confirm_field.empty();
  if (write_archive(run, held ? kAwaiting : kReceived, &error)) return;
  log_event(run.message, 1, "Submission not archived, nothing done: %s\n", error.c_str());
  fail_request(run.message, kNotKept);
}

std::int64_t kept_until(int keep_days, std::int64_t received_at) {
  return keep_days == 0 ? std::numeric_limits<std::int64_t>::max()
                        : received_at + keep_days * kMsPerDay;
}

bool restore_upload(Run& run, const ArchivedUpload& kept, std::string* error) {
  int in = platform::open_regular_file(platform::native_path(kept.stored_path).c_str(),
                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (in < 0) {
    *error = "cannot open " + kept.stored_path;
    return false;
  }
  platform::TempFile copy = make_mail_temp_file(run.message);
  ArchivedUpload read;
  read.shown_name = kept.shown_name;
  bool ok = digest_upload(in, copy.fd(), read, error);
  close(in);
  if (ok && read.sha256 != kept.sha256) {
    *error = kept.stored_path + " is no longer the file kept for " + kept.shown_name;
    ok = false;
  }
  if (!ok) return false;
  run.request.uploads.push_back({kept.field, kept.shown_name, copy.path(), kept.size, ""});
  run.request.upload_files.add(std::move(copy));
  return true;
}

void archive_spam(Run& run) {
  if (!run.settings.archive) return;
  std::string error;
  if (!write_archive(run, "spam", &error))
    log_event(run.message, 1, "Spam submission not archived: %s\n", error.c_str());
}

void keep_archive_batch(Run& run) {
  ArchiveBatch* batch = run.archive_batch.get();
  if (batch == nullptr || batch->ended) return;
  batch->ended = true;
  if (batch->submission.status == kReceived) batch->submission.status = "accepted";
  std::string error;
  ArchiveStore* store = archive_store(run, &error);
  if (store != nullptr &&
      store->add_run(batch->submission, batch->outcomes, batch->deliveries, &error)) {
    for (std::size_t i = 0; i < batch->deliveries.size(); ++i) run.site.delivery_queued();
    return;
  }
  if (store != nullptr) run.site.archive_store_failed();
  remove_copies(batch->submission);
  log_event(run.message, 1, "Submission %s not archived, its mail not queued: %s\n",
            run.archive_id.c_str(), error.c_str());
  fail_request(run.message, kNotKept);
}

ActionsUnderway::~ActionsUnderway() {
  if (run_.archive_id.empty()) return;
  try {
    if (run_.archive_batch) {  // an action ended the run: what it gathered is kept
      keep_archive_batch(run_);
      return;
    }
    std::string error;
    bool ended = false;
    ArchiveStore* store = archive_store(run_, &error);
    if (store != nullptr &&
        store->claim_submission(run_.archive_id, kReceived, "accepted", nullptr, 0, &ended, &error))
      return;
    if (store != nullptr) run_.site.archive_store_failed();
    log_event(run_.message, 1, "End of the actions of %s not archived: %s\n",
              run_.archive_id.c_str(), error.c_str());
  } catch (...) {  // a destructor that may run while a step's exception unwinds
  }
}

ActionRecord::~ActionRecord() {
  if (recorded_) return;
  try {
    record("failed", kActionEndedByError);
  } catch (...) {  // a destructor that may run while a step's exception unwinds
  }
}

void ActionRecord::done(std::string detail) { record("done", detail); }

bool ActionRecord::finish(bool ok, std::string detail) {
  record(ok ? "done" : "failed", detail);
  return ok;
}

void ActionRecord::record(const char* result, const std::string& detail) {
  recorded_ = true;
  if (run_.archive_id.empty()) return;
  std::string action = action_;
  bool failed = std::string_view(result) == "failed";
  bool ends_submission = failed && (action == "form_mail" || action == "receipt");
  if (ArchiveBatch* batch = run_.archive_batch.get(); batch != nullptr && !batch->ended) {
    batch->outcomes.push_back({action, result, run_.site.clock().unix_milliseconds(), detail});
    if (ends_submission) batch->submission.status = "failed";
    return;
  }
  std::string error;
  ArchiveStore* store = archive_store(run_, &error);
  if (store != nullptr &&
      store->add_outcome(run_.archive_id,
                         {action, result, run_.site.clock().unix_milliseconds(), detail},
                         ends_submission ? "failed" : "", &error))
    return;
  if (store != nullptr) run_.site.archive_store_failed();
  log_event(run_.message, 1, "Outcome of %s not archived: %s\n", action_, error.c_str());
}
