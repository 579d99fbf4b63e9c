// The archive: every submission a site asked to keep, the outcome of each action
// run for it, and the deliveries (form mail, receipt, webhook calls) still to be
// made or made already. It lives in the state store's database (the embedded
// SQLite file or StateDSN) in tables of its own, created on first use. The store
// keeps and finds records; what to keep and when to send is decided by its callers.
// Times are milliseconds since the epoch; ids are made by velloc (archive_ids.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class OdbcDatabase;

struct ArchivedUpload {
  std::string field;
  std::string shown_name;
  std::string content_type;
  std::uint64_t size = 0;
  std::string sha256;       // 64 lower-case hex digits
  std::string stored_path;  // the copy under ArchiveFolder; empty when none
};

struct ActionOutcome {
  std::string action;  // "database", "text_export", "form_mail", "receipt", "webhook"
  std::string result;  // "done" or "failed"
  std::int64_t at = 0;
  std::string detail;  // short, for the operator
};

// The detail of an action that ended without recording an outcome of its own:
// its step failed and ended the run (a mail's delivery tells why it failed).
inline constexpr char kActionEndedByError[] = "ended by an error";

struct DeliveryAttempt {
  std::int64_t at = 0;
  std::string result;  // "delivered", or why not and whether it is tried again
  // What the other side answered: the relay's final reply line after the end of
  // data or the reply that refused the mail, a webhook's HTTP status line, or why
  // no answer came (reply_text.h). Empty in attempts recorded before it was kept.
  std::string reply;
};

struct Delivery {
  std::string id;
  std::string submission_id;
  std::string kind;     // "form_mail", "receipt" or "webhook"
  std::string target;   // the recipients or the address called
  std::string payload;  // the exact bytes to send, or the first of them
  // For add_delivery: when not -1, the bytes to send go on after `payload` with the
  // content of this file from `payload_rest_offset` to its end, which the store
  // keeps in parts of its own, a part at a time. A delivery read back holds its
  // first bytes in `payload`; read_payload_rest gives the rest.
  int payload_rest_fd = -1;
  std::int64_t payload_rest_offset = 0;
  std::string status;  // "pending", "delivered" or "failed"
  std::int64_t created_at = 0;
  std::int64_t next_attempt = 0;
  std::vector<DeliveryAttempt> attempts;  // oldest first
  int attempts_made = 0;                  // how many were recorded when it was read
  // Read, not written: the form profile of its submission (empty: none), whose
  // settings a webhook call is sent again with.
  std::string form_profile;
  // Set by claim_due_delivery: the mark of that claim. A delivery added with a
  // claim is held by it until `claimed_until`, as if claimed.
  std::string claim;
  std::int64_t claimed_until = 0;
};

struct ArchivedSubmission {
  std::string id;
  std::int64_t received_at = 0;
  std::int64_t keep_until = 0;  // --purge deletes it from then on
  std::string form_profile;
  std::string remote_address;
  std::string receipt_number;
  // "received" (its run's actions not ended yet), "accepted", "spam", "failed" or
  // "awaiting" (its visitor's confirmation; kept until the link expires)
  std::string status;
  std::vector<std::pair<std::string, std::string>> fields;  // as decoded, in order
  std::vector<std::string> tags;  // what the profile's rules tagged it with
  std::vector<ArchivedUpload> uploads;
  std::vector<ActionOutcome> outcomes;  // in the order recorded
  std::vector<Delivery> deliveries;     // with their attempts
  // Read by list_page only: "failed" when one of its deliveries failed, else
  // "pending" when one waits; empty when none does.
  std::string delivery_state;
};

// Which submissions a listing or an export holds. Empty texts and zero times
// filter nothing.
struct SubmissionFilter {
  std::string form_profile;  // exactly this profile
  // "accepted", "spam", "failed" (the submission's or one of its deliveries'),
  // "pending" (a delivery not yet made)
  std::string status;
  std::int64_t since = 0;  // received at or after
  std::int64_t until = 0;  // received before
  std::string search;      // a field value holding this text, case-blind (ASCII)
  std::string tag;         // tagged with this by the profile's rules
};

// How many submissions were received on one UTC day, and how many of them are
// kept as spam.
struct DayCount {
  std::int64_t day = 0;  // days since the epoch
  std::int64_t submissions = 0;
  std::int64_t spam = 0;
};

// The pending deliveries of one kind at a moment: those due (nobody holds them),
// those waiting for a later attempt, and those held by a sender now.
struct OutboxKind {
  std::string kind;  // "form_mail", "receipt" or "webhook"
  std::int64_t due = 0;
  std::int64_t waiting = 0;
  std::int64_t claimed = 0;
  // How long the oldest due one has been due (from its next_attempt), in
  // milliseconds; 0 when none is due.
  std::int64_t oldest_due_ms = 0;
};

// The fields a listing's row shows of each submission: the first that are not
// control fields.
inline constexpr int kListedFields = 3;
// The fields list_page reads of each submission: a submission names each control
// field at most once (form_profile.h), so its first kListedFields others are among them.
inline constexpr int kListingFieldsRead = 32;
// What a page of ArchiveStore::records holds at most, unless its first record
// holds more alone: the characters of its field names and values, and
// kRecordFieldCost for each field (what a field costs in memory beside its text).
inline constexpr std::int64_t kRecordsBytes = 4 * 1024 * 1024;
inline constexpr std::int64_t kRecordFieldCost = 160;

class ArchiveStore {
 public:
  virtual ~ArchiveStore() = default;

  // Each operation is one transaction; false (or nullopt) with `*error` set when
  // the store fails, and nothing of the operation is kept.

  // The submission with its fields and uploads; its outcomes and deliveries are
  // added by the calls below.
  virtual bool add_submission(const ArchivedSubmission& submission, std::string* error) = 0;
  // A run's whole record at once (queue mode): the submission with its final status,
  // the outcomes its actions recorded and the deliveries they queued, in that order.
  virtual bool add_run(const ArchivedSubmission& submission,
                       const std::vector<ActionOutcome>& outcomes,
                       const std::vector<Delivery>& deliveries, std::string* error) = 0;
  // Appends the outcome; `new_status`, when not empty, replaces the submission's.
  virtual bool add_outcome(const std::string& submission_id, const ActionOutcome& outcome,
                           const std::string& new_status, std::string* error) = 0;
  virtual bool add_delivery(const Delivery& delivery, std::string* error) = 0;

  // Claims submission `submission_id` (for a release, say): when its status is
  // `from`, sets it to `to` and appends `outcome` (when not null). One
  // conditional UPDATE, so of claimers on any hosts only the first changes it;
  // `*changed` says whether this one did (false also without such a submission).
  // `keep_until`, when not 0, replaces the time --purge deletes it from (a
  // confirmed submission is kept as long as any other).
  virtual bool claim_submission(const std::string& submission_id, const std::string& from,
                                const std::string& to, const ActionOutcome* outcome,
                                std::int64_t keep_until, bool* changed, std::string* error) = 0;
  // Claims submission `submission_id`, still "received", for running again the
  // actions of a run that was killed: appends `outcome` unless an outcome of its
  // action was recorded after `outcome.at - hold_ms` (a recovery under way). The
  // submission's row is locked first, as add_delivery_unless_held locks it.
  // `*claimed` says whether this one took it.
  virtual bool claim_recovery(const std::string& submission_id, const ActionOutcome& outcome,
                              std::int64_t hold_ms, bool* claimed, std::string* error) = 0;
  // Adds `delivery`, held as add_delivery adds it, unless a delivery of its
  // submission and kind is held at `now` (being sent): the submission's row is
  // locked first, so that of concurrent adders only one finds none held.
  // `*added` says whether it was added (false also without its submission).
  virtual bool add_delivery_unless_held(const Delivery& delivery, std::int64_t now, bool* added,
                                        std::string* error) = 0;
  // Delivery `id` without its payload and attempts, with `claimed_until`;
  // nullopt in `*found` when there is none.
  virtual bool find_delivery(const std::string& id, std::optional<Delivery>* found,
                             std::string* error) = 0;

  // Takes the oldest pending deliveries due at `now` that nobody holds (or whose
  // hold ended), at most `most`, holding them for `claimer` (host and process, say)
  // until `now + hold_ms`: each by a conditional UPDATE, so of two claimers on any
  // hosts only one gets each. `*claimed` empty when none is due, else in the order
  // they fell due. The hold must outlast sending them all.
  // Which deliveries a claim takes: any, or only webhook calls (while the mail relay
  // cannot be reached).
  enum class DueKinds { kAll, kWebhooks };
  virtual bool claim_due_deliveries(std::int64_t now, const std::string& claimer,
                                    std::int64_t hold_ms, DueKinds kinds, int most,
                                    std::vector<Delivery>* claimed, std::string* error) = 0;
  // The oldest one, as claim_due_deliveries takes it.
  bool claim_due_delivery(std::int64_t now, const std::string& claimer, std::int64_t hold_ms,
                          DueKinds kinds, std::optional<Delivery>* claimed, std::string* error) {
    std::vector<Delivery> taken;
    claimed->reset();
    if (!claim_due_deliveries(now, claimer, hold_ms, kinds, 1, &taken, error)) return false;
    if (!taken.empty()) *claimed = std::move(taken.front());
    return true;
  }
  bool claim_due_delivery(std::int64_t now, const std::string& claimer, std::int64_t hold_ms,
                          std::optional<Delivery>* claimed, std::string* error) {
    return claim_due_delivery(now, claimer, hold_ms, DueKinds::kAll, claimed, error);
  }
  // Holds delivery `id` as claim_due_delivery does, made due at `now` first: one
  // that is pending or failed (then pending again) and that nobody holds. nullopt
  // in `*claimed` when there is no such delivery, or it is delivered or held.
  virtual bool claim_delivery(const std::string& id, std::int64_t now, const std::string& claimer,
                              std::int64_t hold_ms, std::optional<Delivery>* claimed,
                              std::string* error) = 0;
  // An attempt of a claimed delivery and what it leaves: `status` "delivered",
  // "failed" or "pending" (then tried again from `next_attempt`).
  struct FinishedAttempt {
    const Delivery* claimed = nullptr;
    DeliveryAttempt attempt;
    std::string status;
    std::int64_t next_attempt = 0;
  };
  // Records the attempts and lets their deliveries go, in one transaction. One whose
  // claim no longer holds it is left out, its index added to `*unheld`. False with
  // `*error` set when the transaction failed: then none is recorded.
  virtual bool finish_attempts(std::span<const FinishedAttempt> attempts,
                               std::vector<std::size_t>* unheld, std::string* error) = 0;
  // One attempt as finish_attempts records it; false with `*error` set when its claim
  // no longer holds it too.
  bool finish_attempt(const Delivery& claimed, const DeliveryAttempt& attempt,
                      const std::string& status, std::int64_t next_attempt, std::string* error) {
    FinishedAttempt finished{&claimed, attempt, status, next_attempt};
    std::vector<std::size_t> unheld;
    if (!finish_attempts({&finished, 1}, &unheld, error)) return false;
    if (unheld.empty()) return true;
    *error = unheld_text(claimed);
    return false;
  }
  // Why an attempt of `claimed` was not recorded by finish_attempts.
  static std::string unheld_text(const Delivery& claimed) {
    return "delivery " + claimed.id + " is no longer held by this claim";
  }
  // Lets claimed deliveries go untried, due as before; those another claim holds
  // by now are left alone.
  virtual bool release_deliveries(std::span<const Delivery> claimed, std::string* error) = 0;

  // The pending deliveries by kind at `now`, kinds in name order, none without
  // any: one query over the index of the deliveries' status.
  virtual std::optional<std::vector<OutboxKind>> outbox_summary(std::int64_t now,
                                                                std::string* error) = 0;
  // Sets the alert condition `name` raised or not at `now`; `*flipped` says
  // whether this call changed it (a condition never set is not raised). One
  // conditional UPDATE, so of processes on any hosts that see the same change
  // only one announces it.
  virtual bool flip_condition(const std::string& name, bool raised, std::int64_t now, bool* flipped,
                              std::string* error) = 0;

  // Writes the bytes of delivery `id` kept after its payload (see
  // Delivery::payload_rest_fd) to the file `file` gives (a descriptor, -1 when it
  // cannot), asked for at the first part only, a part at a time; `*written` gets how
  // many: 0 for a delivery kept whole in its payload, as older versions kept each.
  virtual bool read_payload_rest(const std::string& id, const std::function<int()>& file,
                                 std::int64_t* written, std::string* error) = 0;
  bool read_payload_rest(const std::string& id, int fd, std::int64_t* written, std::string* error) {
    return read_payload_rest(
        id, [fd] { return fd; }, written, error);
  }

  // Newest first, without fields, uploads, outcomes or deliveries.
  virtual std::optional<std::vector<ArchivedSubmission>> list(const SubmissionFilter& filter,
                                                              std::string* error) = 0;
  // At most `limit` submissions of list(filter) from the `offset`-th on, each with
  // its first kListingFieldsRead fields and its delivery_state: two queries whatever
  // the page holds.
  virtual std::optional<std::vector<ArchivedSubmission>> list_page(const SubmissionFilter& filter,
                                                                   std::int64_t offset, int limit,
                                                                   std::string* error) = 0;
  // The days from `since` on (received before `until`) on which anything was
  // received, oldest first.
  virtual std::optional<std::vector<DayCount>> count_per_day(std::int64_t since, std::int64_t until,
                                                             std::string* error) = 0;
  // At most `limit` whole records of list(filter), in its order, from the one
  // after `after` (the last of the records read before; nullptr: from the first):
  // the same few queries whatever their number. Fewer when their fields are large
  // or many: as many as fit in kRecordsBytes, and at least one; none only past the
  // last. Their deliveries come without their payloads (the bytes of each mail,
  // its files included), which no export shows.
  virtual std::optional<std::vector<ArchivedSubmission>> records(const SubmissionFilter& filter,
                                                                 const ArchivedSubmission* after,
                                                                 int limit, std::string* error) = 0;
  // The names of the fields of list(filter), each once, in the order in which
  // they first come in its records: all of them, or when there are more than
  // `limit`, the `limit` names held by the most submissions (of names held by as
  // many, those that come first), with `*more` set.
  virtual std::optional<std::vector<std::string>> field_names(const SubmissionFilter& filter,
                                                              std::size_t limit, bool* more,
                                                              std::string* error) = 0;
  // The whole record; nullopt in `*found` when there is none of that id.
  virtual bool find(const std::string& id, std::optional<ArchivedSubmission>* found,
                    std::string* error) = 0;
  // Deletes the submissions with everything recorded for them; their files are
  // the caller's to delete.
  virtual bool remove(const std::vector<std::string>& ids, std::string* error) = 0;
  // Ids of the submissions whose keep_until is at or before `now`.
  virtual std::optional<std::vector<std::string>> expired(std::int64_t now, std::string* error) = 0;
  // Ids of the submissions with a field value holding `text` (ASCII case-blind).
  virtual std::optional<std::vector<std::string>> holding(const std::string& text,
                                                          std::string* error) = 0;

  // Connects again (a server restarted, say); the old connection is kept when the
  // new one cannot be made, and false returned with `*error` set.
  virtual bool reconnect(std::string* error) = 0;
};

// The archive over the ODBC connection string, the state store's. nullptr with
// `*error` set when it cannot be reached.
std::unique_ptr<ArchiveStore> open_odbc_archive_store(const std::string& connection,
                                                      std::string* error);
// The archive over `database`, a connection to `connection` it shares (with the
// state store, say); a reconnect gives it one of its own.
std::unique_ptr<ArchiveStore> open_odbc_archive_store(const std::string& connection,
                                                      std::shared_ptr<OdbcDatabase> database);
