// The archive over ODBC. Every statement of the archive is in this file; the SQL
// is what SQLite and PostgreSQL both accept. Numbers are ours and written into the
// statements; every text is a bound parameter.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file_lock.h"
#include "platform/regular_file.h"
#include "platform/text.h"
#include "velloc/archive/archive_store.h"
#include "velloc/mail/base64.h"
#include "velloc/storage/odbc_database.h"

namespace {

const char* const kTables[] = {
    "CREATE TABLE IF NOT EXISTS velloc_submissions (submission_id VARCHAR(40) PRIMARY KEY, "
    "received_at BIGINT NOT NULL, keep_until BIGINT NOT NULL, form_profile TEXT NOT NULL, "
    "remote_address TEXT NOT NULL, receipt_number TEXT NOT NULL, status VARCHAR(16) NOT NULL, "
    "tags TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX IF NOT EXISTS velloc_submissions_time ON velloc_submissions (received_at)",
    "CREATE INDEX IF NOT EXISTS velloc_submissions_form ON velloc_submissions "
    "(form_profile, received_at)",
    "CREATE INDEX IF NOT EXISTS velloc_submissions_status ON velloc_submissions "
    "(status, received_at)",
    // The chart's count per day reads this index alone.
    "CREATE INDEX IF NOT EXISTS velloc_submissions_day ON velloc_submissions "
    "(received_at, status)",
    "CREATE TABLE IF NOT EXISTS velloc_submission_fields (submission_id VARCHAR(40) NOT NULL, "
    "seq INTEGER NOT NULL, field_name TEXT NOT NULL, field_value TEXT NOT NULL, "
    "PRIMARY KEY (submission_id, seq))",
    "CREATE TABLE IF NOT EXISTS velloc_submission_uploads (submission_id VARCHAR(40) NOT NULL, "
    "seq INTEGER NOT NULL, field_name TEXT NOT NULL, shown_name TEXT NOT NULL, "
    "content_type TEXT NOT NULL, byte_size BIGINT NOT NULL, sha256 VARCHAR(64) NOT NULL, "
    "stored_path TEXT NOT NULL, PRIMARY KEY (submission_id, seq))",
    "CREATE TABLE IF NOT EXISTS velloc_action_outcomes (submission_id VARCHAR(40) NOT NULL, "
    "seq INTEGER NOT NULL, action VARCHAR(32) NOT NULL, result VARCHAR(16) NOT NULL, "
    "at BIGINT NOT NULL, detail TEXT NOT NULL, PRIMARY KEY (submission_id, seq))",
    "CREATE TABLE IF NOT EXISTS velloc_deliveries (delivery_id VARCHAR(40) PRIMARY KEY, "
    "submission_id VARCHAR(40) NOT NULL, kind VARCHAR(16) NOT NULL, target TEXT NOT NULL, "
    "payload TEXT NOT NULL, status VARCHAR(16) NOT NULL, created_at BIGINT NOT NULL, "
    "next_attempt BIGINT NOT NULL, attempts INTEGER NOT NULL, claimed_by TEXT NOT NULL, "
    "claimed_until BIGINT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS velloc_deliveries_due ON velloc_deliveries (status, next_attempt)",
    // The webhook calls due while the mail relay cannot be reached, among many mails.
    "CREATE INDEX IF NOT EXISTS velloc_deliveries_kind_due ON velloc_deliveries "
    "(kind, status, next_attempt)",
    "CREATE INDEX IF NOT EXISTS velloc_deliveries_submission ON velloc_deliveries (submission_id)",
    "CREATE TABLE IF NOT EXISTS velloc_delivery_attempts (delivery_id VARCHAR(40) NOT NULL, "
    "seq INTEGER NOT NULL, at BIGINT NOT NULL, result TEXT NOT NULL, "
    "reply TEXT NOT NULL DEFAULT '', PRIMARY KEY (delivery_id, seq))",
    // The bytes of a delivery after those of its payload (a mail's files), in base64
    // as the payload, a part a row: written and read without holding them whole.
    "CREATE TABLE IF NOT EXISTS velloc_delivery_parts (delivery_id VARCHAR(40) NOT NULL, "
    "seq INTEGER NOT NULL, part TEXT NOT NULL, PRIMARY KEY (delivery_id, seq))",
    // The alert conditions raised (the outbox too old, say), so that each change is
    // announced once whichever process sees it.
    "CREATE TABLE IF NOT EXISTS velloc_alert_conditions (name VARCHAR(64) PRIMARY KEY, "
    "raised INTEGER NOT NULL, changed_at BIGINT NOT NULL)",
};
// The columns added to tables after their first version, with the statement that
// adds each to a table made before it. The default lets a version that does not
// know the column go on writing rows.
struct AddedColumn {
  const char* table;
  const char* column;
  const char* addition;
};
const AddedColumn kAddedColumns[] = {
    {"velloc_delivery_attempts", "reply",
     "ALTER TABLE velloc_delivery_attempts ADD COLUMN reply TEXT NOT NULL DEFAULT ''"},
    {"velloc_submissions", "tags",
     "ALTER TABLE velloc_submissions ADD COLUMN tags TEXT NOT NULL DEFAULT ''"},
};
// The indexes the listings need, which an archive made before them lacks.
const char* const kListingIndexes[] = {kTables[2], kTables[3], kTables[4]};
// A new store fails the first attempt; a concurrent process making the same
// tables may fail the second.
constexpr int kAttempts = 3;
// Field rows per INSERT: three parameters each, well below any driver's limit.
constexpr std::size_t kFieldsPerInsert = 64;
// Looks per claim: another claimer may take the one picked first.
constexpr int kClaimLooks = 16;
constexpr std::int64_t kMsPerDay = 86400000;
// Bytes of a delivery per row of velloc_delivery_parts.
constexpr std::size_t kPartBytes = 192 * 1024;
constexpr char kSubmissionColumns[] =
    "submission_id, received_at, keep_until, form_profile, remote_address, receipt_number, "
    "status, tags";
// The column after kSubmissionColumns.
constexpr std::size_t kAfterSubmission = 8;
// A delivery's columns, read only FROM velloc_deliveries without an alias. Without
// the payload, which can be a whole mail with its files, that column reads empty.
std::string delivery_columns(bool with_payload) {
  return std::string("delivery_id, submission_id, kind, target, ") +
         (with_payload ? "payload" : "''") +
         ", status, created_at, next_attempt, attempts, (SELECT s.form_profile FROM "
         "velloc_submissions s WHERE s.submission_id = velloc_deliveries.submission_id)";
}

// A listed submission's delivery_state, by the index of the deliveries'
// submission: a few rows each.
constexpr char kDeliveryState[] =
    "CASE WHEN EXISTS (SELECT 1 FROM velloc_deliveries d WHERE d.submission_id = "
    "s.submission_id AND d.status = 'failed') THEN 'failed' WHEN EXISTS (SELECT 1 FROM "
    "velloc_deliveries d WHERE d.submission_id = s.submission_id AND d.status = 'pending') "
    "THEN 'pending' ELSE '' END";

using Row = OdbcDatabase::Row;

std::string number(std::int64_t value) { return std::to_string(value); }

std::int64_t to_number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The payload column holds base64, which every database keeps as written.
std::string decode_base64(const std::string& text) {
  std::string bytes;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int value = base64_value(c);
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return bytes;
}

// "LIKE ? ESCAPE '!'" pattern for a value holding `text`.
std::string like_holding(const std::string& text) {
  std::string pattern = "%";
  for (char c : text) {
    char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == '%' || lower == '_' || lower == '!') pattern += '!';
    pattern += lower;
  }
  return pattern + "%";
}

// `text` with the wildcards of LIKE escaped by "!".
std::string like_escaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '%' || c == '_' || c == '!') escaped += '!';
    escaped += c;
  }
  return escaped;
}

std::string joined_tags(const std::vector<std::string>& tags) {
  std::string text;
  for (const std::string& tag : tags) text += (text.empty() ? "" : " ") + tag;
  return text;
}

std::string in_list(std::size_t count) {
  std::string list = "(";
  for (std::size_t i = 0; i < count; ++i) list += i == 0 ? "?" : ", ?";
  return list + ")";
}

ArchivedSubmission submission_of(const Row& row) {
  ArchivedSubmission s;
  s.id = row[0];
  s.received_at = to_number(row[1]);
  s.keep_until = to_number(row[2]);
  s.form_profile = row[3];
  s.remote_address = row[4];
  s.receipt_number = row[5];
  s.status = row[6];
  s.tags = platform::split_at(row[7], " ");
  return s;
}

// The condition on field_value of a value holding a like_holding pattern,
// case-blind for ASCII letters. SQLite's LIKE is so already, and PostgreSQL's
// ILIKE folds as LOWER does; the planners judge either far better than
// LOWER(field_value) LIKE, and neither makes a lowered copy of every value.
std::string value_holding(const OdbcDatabase& db) {
  if (db.is_sqlite()) return "field_value LIKE ? ESCAPE '!'";
  if (db.is_postgresql()) return "field_value ILIKE ? ESCAPE '!'";
  return "LOWER(field_value) LIKE ? ESCAPE '!'";
}

// " WHERE ..." selecting the submissions `filter` holds (alias s), its texts
// appended to `parameters`; `holding` is value_holding's condition.
std::string filter_clause(const SubmissionFilter& filter, const std::string& holding,
                          std::vector<std::string>* parameters) {
  std::string sql = " WHERE 1 = 1";
  if (!filter.form_profile.empty()) {
    sql += " AND form_profile = ?";
    parameters->push_back(filter.form_profile);
  }
  // Few deliveries wait or failed: the index of their status finds them.
  const std::string has_delivery =
      "submission_id IN (SELECT submission_id FROM velloc_deliveries WHERE status = ";
  if (filter.status == "pending")
    sql += " AND " + has_delivery + "'pending')";
  else if (filter.status == "failed")
    sql += " AND (status = 'failed' OR " + has_delivery + "'failed'))";
  else if (!filter.status.empty()) {
    sql += " AND status = ?";
    parameters->push_back(filter.status);
  }
  if (filter.since != 0) sql += " AND received_at >= " + number(filter.since);
  if (filter.until != 0) sql += " AND received_at < " + number(filter.until);
  if (!filter.tag.empty()) {
    // Tags are kept as one text, separated by single spaces.
    sql += " AND ' ' || tags || ' ' LIKE ? ESCAPE '!'";
    parameters->push_back("% " + like_escaped(filter.tag) + " %");
  }
  if (!filter.search.empty()) {
    sql += " AND submission_id IN (SELECT submission_id FROM velloc_submission_fields WHERE " +
           holding + ")";
    parameters->push_back(like_holding(filter.search));
  }
  return sql;
}

Delivery delivery_of(const Row& row) {
  Delivery delivery;
  delivery.id = row[0];
  delivery.submission_id = row[1];
  delivery.kind = row[2];
  delivery.target = row[3];
  delivery.payload = decode_base64(row[4]);
  delivery.status = row[5];
  delivery.created_at = to_number(row[6]);
  delivery.next_attempt = to_number(row[7]);
  delivery.attempts_made = static_cast<int>(to_number(row[8]));
  delivery.form_profile = row[9];
  return delivery;
}

// The lock file beside an embedded store's database that its writers take in turn
// ("<database>.writer"); empty for a server database or a store named by a DSN. Queued
// on this lock, a writer starts the moment the one before commits, where SQLite's own
// busy handling would poll with growing sleeps (1 ms up to 100 ms) while many
// processes commit at once.
std::string writer_lock_path(const std::string& connection, bool sqlite) {
  if (!sqlite) return {};
  std::string lower = connection;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::size_t at = lower.find("database=");
  if (at == std::string::npos || (at > 0 && lower[at - 1] != ';')) return {};
  at += 9;
  std::string path = connection.substr(at, connection.find(';', at) - at);
  return path.empty() ? std::string() : path + ".writer";
}

class OdbcArchiveStore final : public ArchiveStore {
 public:
  OdbcArchiveStore(std::string connection, std::shared_ptr<OdbcDatabase> database)
      : connection_(std::move(connection)),
        database_(std::move(database)),
        writer_lock_(writer_lock_path(connection_, database_->is_sqlite())) {}

  bool add_submission(const ArchivedSubmission& submission, std::string* error) override;
  bool add_run(const ArchivedSubmission& submission, const std::vector<ActionOutcome>& outcomes,
               const std::vector<Delivery>& deliveries, std::string* error) override;
  bool add_outcome(const std::string& submission_id, const ActionOutcome& outcome,
                   const std::string& new_status, std::string* error) override;
  bool add_delivery(const Delivery& delivery, std::string* error) override;
  bool claim_submission(const std::string& submission_id, const std::string& from,
                        const std::string& to, const ActionOutcome* outcome,
                        std::int64_t keep_until, bool* changed, std::string* error) override;
  bool claim_recovery(const std::string& submission_id, const ActionOutcome& outcome,
                      std::int64_t hold_ms, bool* claimed, std::string* error) override;
  bool add_delivery_unless_held(const Delivery& delivery, std::int64_t now, bool* added,
                                std::string* error) override;
  bool find_delivery(const std::string& id, std::optional<Delivery>* found,
                     std::string* error) override;
  bool claim_due_deliveries(std::int64_t now, const std::string& claimer, std::int64_t hold_ms,
                            DueKinds kinds, int most, std::vector<Delivery>* claimed,
                            std::string* error) override;
  bool claim_delivery(const std::string& id, std::int64_t now, const std::string& claimer,
                      std::int64_t hold_ms, std::optional<Delivery>* claimed,
                      std::string* error) override;
  bool finish_attempts(std::span<const FinishedAttempt> attempts, std::vector<std::size_t>* unheld,
                       std::string* error) override;
  bool release_deliveries(std::span<const Delivery> claimed, std::string* error) override;
  using ArchiveStore::read_payload_rest;
  bool read_payload_rest(const std::string& id, const std::function<int()>& file,
                         std::int64_t* written, std::string* error) override;
  std::optional<std::vector<OutboxKind>> outbox_summary(std::int64_t now,
                                                        std::string* error) override;
  bool flip_condition(const std::string& name, bool raised, std::int64_t now, bool* flipped,
                      std::string* error) override;
  std::optional<std::vector<ArchivedSubmission>> list(const SubmissionFilter& filter,
                                                      std::string* error) override;
  std::optional<std::vector<ArchivedSubmission>> list_page(const SubmissionFilter& filter,
                                                           std::int64_t offset, int limit,
                                                           std::string* error) override;
  std::optional<std::vector<DayCount>> count_per_day(std::int64_t since, std::int64_t until,
                                                     std::string* error) override;
  std::optional<std::vector<ArchivedSubmission>> records(const SubmissionFilter& filter,
                                                         const ArchivedSubmission* after, int limit,
                                                         std::string* error) override;
  std::optional<std::vector<std::string>> field_names(const SubmissionFilter& filter,
                                                      std::size_t limit, bool* more,
                                                      std::string* error) override;
  bool find(const std::string& id, std::optional<ArchivedSubmission>* found,
            std::string* error) override;
  bool remove(const std::vector<std::string>& ids, std::string* error) override;
  std::optional<std::vector<std::string>> expired(std::int64_t now, std::string* error) override;
  std::optional<std::vector<std::string>> holding(const std::string& text,
                                                  std::string* error) override;
  bool reconnect(std::string* error) override;

 private:
  // Runs `body` in a transaction; after a failure makes the tables (the store may
  // be new) and tries again. A transaction that only reads does not queue on the
  // writers' lock: an embedded store's readers see the last commit while another
  // writes.
  enum class Access { kWrites, kReads };
  template <typename Body>
  bool in_transaction(Body body, std::string* error, Access access = Access::kWrites);
  // The rows of one query, read in a transaction as in_transaction runs it.
  std::optional<std::vector<Row>> query_rows(const std::string& sql,
                                             const std::vector<std::string>& parameters,
                                             std::string* error);
  bool read_details(ArchivedSubmission& submission, std::string* error);
  bool read_deliveries(ArchivedSubmission& submission, std::string* error);
  std::optional<std::vector<std::string>> ids_of(const std::string& sql,
                                                 const std::vector<std::string>& parameters,
                                                 std::string* error);

  std::string connection_;
  std::shared_ptr<OdbcDatabase> database_;  // shared with the state store, say
  // The fields, uploads, outcomes and deliveries of `records`, whose ids the query
  // `selected` with `parameters` gives.
  bool read_all_details(OdbcDatabase& db, const std::string& selected,
                        const std::vector<std::string>& parameters,
                        std::vector<ArchivedSubmission>& records, std::string* error);
  // Once per store: the listings' indexes on an archive made before them.
  void add_listing_indexes();
  // Once per store, after a failure: the kAddedColumns that its tables lack. A
  // column is looked for first, since adding one locks its table.
  void add_missing_columns();

  platform::KeptLock writer_lock_;  // at writer_lock_path; an empty path: none
  std::int64_t claims_ = 0;         // makes each claim's mark its own
  bool listing_indexed_ = false;
  bool columns_added_ = false;
};

template <typename Body>
bool OdbcArchiveStore::in_transaction(Body body, std::string* error, Access access) {
  // A lock that cannot be taken leaves the writers to SQLite's busy handling.
  platform::KeptLock::Hold writing(writer_lock_, access == Access::kWrites);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (body(*database_, error) && database_->commit(error)) return true;
    database_->rollback();
    if (attempt + 1 < kAttempts) {
      database_->run_each_autocommitted(
          std::vector<std::string>(std::begin(kTables), std::end(kTables)));
      add_missing_columns();
    }
  }
  return false;
}

void OdbcArchiveStore::add_missing_columns() {
  if (columns_added_) return;
  bool all_present = true;
  for (const AddedColumn& added : kAddedColumns) {
    std::vector<Row> rows;
    std::string missing;
    bool present = database_->query(
        std::string("SELECT ") + added.column + " FROM " + added.table + " WHERE 1 = 0", {}, &rows,
        &missing);
    database_->rollback();
    if (!present) database_->run_each_autocommitted({added.addition});
    all_present = all_present && present;
  }
  // Looked for again after the next failure when one was missing, or could not
  // be looked for (the database out of reach, say).
  columns_added_ = all_present;
}

std::optional<std::vector<Row>> OdbcArchiveStore::query_rows(
    const std::string& sql, const std::vector<std::string>& parameters, std::string* error) {
  std::vector<Row> rows;
  bool ok = in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        rows.clear();
        return db.query(sql, parameters, &rows, failure);
      },
      error, Access::kReads);
  if (!ok) return std::nullopt;
  return rows;
}

bool insert_submission(OdbcDatabase& db, const ArchivedSubmission& s, std::string* failure) {
  if (!db.execute(
          "INSERT INTO velloc_submissions (submission_id, received_at, keep_until, "
          "form_profile, remote_address, receipt_number, status, tags) VALUES (?, " +
              number(s.received_at) + ", " + number(s.keep_until) + ", ?, ?, ?, ?, ?)",
          {s.id, s.form_profile, s.remote_address, s.receipt_number, s.status, joined_tags(s.tags)},
          failure))
    return false;
  // Many rows per statement: each statement costs a round of the driver.
  for (std::size_t first = 0; first < s.fields.size(); first += kFieldsPerInsert) {
    std::size_t end = std::min(s.fields.size(), first + kFieldsPerInsert);
    std::string sql =
        "INSERT INTO velloc_submission_fields (submission_id, seq, field_name, "
        "field_value) VALUES ";
    std::vector<std::string> parameters;
    for (std::size_t i = first; i < end; ++i) {
      sql += (i == first ? "(?, " : ", (?, ") + number(static_cast<std::int64_t>(i)) + ", ?, ?)";
      parameters.insert(parameters.end(), {s.id, s.fields[i].first, s.fields[i].second});
    }
    if (!db.execute(sql, parameters, failure)) return false;
  }
  for (std::size_t i = 0; i < s.uploads.size(); ++i) {
    const ArchivedUpload& u = s.uploads[i];
    if (!db.execute("INSERT INTO velloc_submission_uploads (submission_id, seq, field_name, "
                    "shown_name, content_type, byte_size, sha256, stored_path) VALUES (?, " +
                        number(static_cast<std::int64_t>(i)) + ", ?, ?, ?, " +
                        number(static_cast<std::int64_t>(u.size)) + ", ?, ?)",
                    {s.id, u.field, u.shown_name, u.content_type, u.sha256, u.stored_path},
                    failure))
      return false;
  }
  return true;
}

bool OdbcArchiveStore::add_submission(const ArchivedSubmission& s, std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) { return insert_submission(db, s, failure); },
      error);
}

bool insert_outcome(OdbcDatabase& db, const std::string& submission_id,
                    const ActionOutcome& outcome, std::string* error) {
  return db.execute(
      "INSERT INTO velloc_action_outcomes (submission_id, seq, action, result, at, detail) "
      "VALUES (?, (SELECT COUNT(*) FROM velloc_action_outcomes WHERE submission_id = ?), ?, ?, " +
          number(outcome.at) + ", ?)",
      {submission_id, submission_id, outcome.action, outcome.result, outcome.detail}, error);
}

// Every writing transaction begins with its write: an embedded store then takes
// its lock at once, instead of failing when another process wrote since it read.
bool OdbcArchiveStore::add_outcome(const std::string& submission_id, const ActionOutcome& outcome,
                                   const std::string& new_status, std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        if (!insert_outcome(db, submission_id, outcome, failure)) return false;
        return new_status.empty() ||
               db.execute("UPDATE velloc_submissions SET status = ? WHERE submission_id = ?",
                          {new_status, submission_id}, failure);
      },
      error);
}

// The content of `fd` from `offset` on, a row of velloc_delivery_parts for each
// kPartBytes, read again from its start when the transaction is tried again.
bool add_parts(OdbcDatabase& db, const std::string& id, int fd, std::int64_t offset,
               std::string* error) {
  std::string part(kPartBytes, '\0');
  for (std::int64_t seq = 0;; ++seq) {
    std::size_t size = 0;
    while (size < part.size()) {
      ssize_t count = pread(fd, part.data() + size, part.size() - size,
                            static_cast<off_t>(offset + static_cast<std::int64_t>(size)));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        *error = "cannot read the delivery's file";
        return false;
      }
      if (count == 0) break;
      size += static_cast<std::size_t>(count);
    }
    if (size == 0) return true;
    offset += static_cast<std::int64_t>(size);
    if (!db.execute("INSERT INTO velloc_delivery_parts (delivery_id, seq, part) VALUES (?, " +
                        number(seq) + ", ?)",
                    {id, base64_text(std::string_view(part.data(), size))}, error))
      return false;
    if (size < part.size()) return true;
  }
}

bool insert_delivery(OdbcDatabase& db, const Delivery& d, std::string* error) {
  return db.execute(
             "INSERT INTO velloc_deliveries (delivery_id, submission_id, kind, target, payload, "
             "status, created_at, next_attempt, attempts, claimed_by, claimed_until) VALUES "
             "(?, ?, ?, ?, ?, ?, " +
                 number(d.created_at) + ", " + number(d.next_attempt) + ", 0, ?, " +
                 number(d.claimed_until) + ")",
             {d.id, d.submission_id, d.kind, d.target, base64_text(d.payload), d.status, d.claim},
             error) &&
         (d.payload_rest_fd < 0 ||
          add_parts(db, d.id, d.payload_rest_fd, d.payload_rest_offset, error));
}

bool OdbcArchiveStore::add_delivery(const Delivery& d, std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) { return insert_delivery(db, d, failure); },
      error);
}

bool OdbcArchiveStore::add_run(const ArchivedSubmission& submission,
                               const std::vector<ActionOutcome>& outcomes,
                               const std::vector<Delivery>& deliveries, std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        if (!insert_submission(db, submission, failure)) return false;
        // The submission is new: its outcomes are numbered from 0, all in one statement.
        if (!outcomes.empty()) {
          std::string sql =
              "INSERT INTO velloc_action_outcomes (submission_id, seq, action, result, at, "
              "detail) VALUES ";
          std::vector<std::string> parameters;
          for (std::size_t i = 0; i < outcomes.size(); ++i) {
            sql += (i == 0 ? "(?, " : ", (?, ") + number(static_cast<std::int64_t>(i)) +
                   ", ?, ?, " + number(outcomes[i].at) + ", ?)";
            parameters.insert(parameters.end(), {submission.id, outcomes[i].action,
                                                 outcomes[i].result, outcomes[i].detail});
          }
          if (!db.execute(sql, parameters, failure)) return false;
        }
        for (const Delivery& delivery : deliveries)
          if (!insert_delivery(db, delivery, failure)) return false;
        return true;
      },
      error);
}

// The status UPDATE both checks and takes: a second claimer waits for the first's
// row lock (the embedded store's lock) and then finds the status changed.
bool OdbcArchiveStore::claim_submission(const std::string& submission_id, const std::string& from,
                                        const std::string& to, const ActionOutcome* outcome,
                                        std::int64_t keep_until, bool* changed,
                                        std::string* error) {
  std::string kept = keep_until == 0 ? "" : ", keep_until = " + number(keep_until);
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        std::int64_t rows = 0;
        *changed = false;
        if (!db.execute("UPDATE velloc_submissions SET status = ?" + kept +
                            " WHERE submission_id = ? AND status = ?",
                        {to, submission_id, from}, failure, &rows))
          return false;
        if (rows != 1) return true;
        *changed = true;
        return outcome == nullptr || insert_outcome(db, submission_id, *outcome, failure);
      },
      error);
}

// A part at a time, each by its key: the driver holds one part, not the whole.
bool OdbcArchiveStore::read_payload_rest(const std::string& id, const std::function<int()>& file,
                                         std::int64_t* written, std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        *written = 0;
        int fd = -1;
        for (std::int64_t seq = 0;; ++seq) {
          std::vector<Row> rows;
          if (!db.query("SELECT part FROM velloc_delivery_parts WHERE delivery_id = ? AND seq = " +
                            number(seq),
                        {id}, &rows, failure))
            return false;
          if (rows.empty()) return true;
          if (seq == 0) {
            fd = file();
            if (fd < 0 || ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
              *failure = "cannot write the delivery's file";
              return false;
            }
          }
          std::string bytes = decode_base64(rows[0][0]);
          if (!platform::write_all(fd, bytes.data(), bytes.size())) {
            *failure = "cannot write the delivery's file";
            return false;
          }
          *written += static_cast<std::int64_t>(bytes.size());
        }
      },
      error, Access::kReads);
}

bool OdbcArchiveStore::claim_recovery(const std::string& submission_id,
                                      const ActionOutcome& outcome, std::int64_t hold_ms,
                                      bool* claimed, std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        std::int64_t rows = 0;
        *claimed = false;
        if (!db.execute("UPDATE velloc_submissions SET status = status WHERE submission_id = ? "
                        "AND status = 'received'",
                        {submission_id}, failure, &rows))
          return false;
        if (rows != 1) return true;
        std::vector<Row> recent;
        if (!db.query("SELECT COUNT(*) FROM velloc_action_outcomes WHERE submission_id = ? AND "
                      "action = ? AND at > " +
                          number(outcome.at - hold_ms),
                      {submission_id, outcome.action}, &recent, failure))
          return false;
        if (recent.size() != 1 || recent[0][0] != "0") return true;
        *claimed = true;
        return insert_outcome(db, submission_id, outcome, failure);
      },
      error);
}

// The UPDATE that changes nothing takes the submission's row lock (the embedded
// store's lock) before anything is read: each statement after it sees what a
// concurrent adder committed before it let go.
bool OdbcArchiveStore::add_delivery_unless_held(const Delivery& d, std::int64_t now, bool* added,
                                                std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        std::int64_t rows = 0;
        *added = false;
        if (!db.execute("UPDATE velloc_submissions SET status = status WHERE submission_id = ?",
                        {d.submission_id}, failure, &rows))
          return false;
        if (rows != 1) return true;
        std::vector<Row> held;
        if (!db.query("SELECT COUNT(*) FROM velloc_deliveries WHERE submission_id = ? AND kind = "
                      "? AND status = 'pending' AND claimed_until > " +
                          number(now),
                      {d.submission_id, d.kind}, &held, failure))
          return false;
        if (held.size() != 1 || held[0][0] != "0") return true;
        *added = true;
        return insert_delivery(db, d, failure);
      },
      error);
}

bool OdbcArchiveStore::find_delivery(const std::string& id, std::optional<Delivery>* found,
                                     std::string* error) {
  found->reset();
  std::optional<std::vector<Row>> rows =
      query_rows("SELECT " + delivery_columns(false) +
                     ", claimed_until FROM velloc_deliveries WHERE "
                     "delivery_id = ?",
                 {id}, error);
  if (!rows) return false;
  if (rows->size() == 1) {
    *found = delivery_of(rows->front());
    (*found)->claimed_until = to_number(rows->front()[10]);
  }
  return true;
}

std::optional<std::vector<OutboxKind>> OdbcArchiveStore::outbox_summary(std::int64_t now,
                                                                        std::string* error) {
  const std::string held = "claimed_until > " + number(now);
  const std::string due = "claimed_until <= " + number(now) + " AND next_attempt <= " + number(now);
  std::optional<std::vector<Row>> rows = query_rows(
      "SELECT kind, SUM(CASE WHEN " + due + " THEN 1 ELSE 0 END), SUM(CASE WHEN " + held + " OR " +
          due + " THEN 0 ELSE 1 END), SUM(CASE WHEN " + held +
          " THEN 1 ELSE 0 END), MIN(CASE WHEN " + due +
          " THEN next_attempt END) FROM velloc_deliveries WHERE status = 'pending' GROUP BY kind "
          "ORDER BY kind",
      {}, error);
  if (!rows) return std::nullopt;
  std::vector<OutboxKind> kinds;
  for (const Row& row : *rows) {
    OutboxKind& kind = kinds.emplace_back();
    kind.kind = row[0];
    kind.due = to_number(row[1]);
    kind.waiting = to_number(row[2]);
    kind.claimed = to_number(row[3]);
    if (kind.due > 0) kind.oldest_due_ms = std::max<std::int64_t>(now - to_number(row[4]), 0);
  }
  return kinds;
}

// The row is made first when missing; of two makers the second's insert changes
// nothing (both SQLite and PostgreSQL know ON CONFLICT), and its UPDATE waits for
// the first's to be committed, then finds the value set.
bool OdbcArchiveStore::flip_condition(const std::string& name, bool raised, std::int64_t now,
                                      bool* flipped, std::string* error) {
  *flipped = false;
  const std::string value = raised ? "1" : "0";
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        if (!db.execute("INSERT INTO velloc_alert_conditions (name, raised, changed_at) VALUES "
                        "(?, 0, " +
                            number(now) + ") ON CONFLICT (name) DO NOTHING",
                        {name}, failure))
          return false;
        std::int64_t changed = 0;
        if (!db.execute("UPDATE velloc_alert_conditions SET raised = " + value + ", changed_at = " +
                            number(now) + " WHERE name = ? AND raised <> " + value,
                        {name}, failure, &changed))
          return false;
        *flipped = changed == 1;
        return true;
      },
      error);
}

// The due rows are read, then taken by their keys with one UPDATE that checks
// again that each is due: of two claimers the second changes nothing for a row the
// first took, and looks again. The claim begins with a write, so that an embedded
// store holds the write lock before the read, as two claimers of one database take
// turns.
bool OdbcArchiveStore::claim_due_deliveries(std::int64_t now, const std::string& claimer,
                                            std::int64_t hold_ms, DueKinds kinds, int most,
                                            std::vector<Delivery>* claimed, std::string* error) {
  claimed->clear();
  const std::string due = "status = 'pending' AND next_attempt <= " + number(now) +
                          " AND claimed_until <= " + number(now) +
                          (kinds == DueKinds::kWebhooks ? " AND kind = 'webhook'" : "");
  // Looked for first without the writers' lock: a sender woken for a delivery that
  // another took then leaves the writers alone. One committed after this look rings
  // its own wake-up.
  std::vector<Row> any;
  std::string unread;
  bool looked = database_->query("SELECT 1 FROM velloc_deliveries WHERE " + due + " LIMIT 1", {},
                                 &any, &unread);
  database_->rollback();
  if (looked && any.empty()) return true;
  const std::string claim = claimer + " #" + number(++claims_);
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        claimed->clear();
        if (!db.execute("UPDATE velloc_deliveries SET claimed_until = claimed_until WHERE 1 = 0",
                        {}, failure))
          return false;
        for (int look = 0; look < kClaimLooks && claimed->empty(); ++look) {
          std::vector<Row> rows;
          if (!db.query("SELECT " + delivery_columns(true) + " FROM velloc_deliveries WHERE " +
                            due + " ORDER BY next_attempt, delivery_id LIMIT " + number(most),
                        {}, &rows, failure))
            return false;
          if (rows.empty()) return true;
          std::vector<std::string> parameters{claim};
          for (const Row& row : rows) parameters.push_back(row[0]);
          std::int64_t changed = 0;
          if (!db.execute("UPDATE velloc_deliveries SET claimed_by = ?, claimed_until = " +
                              number(now + hold_ms) + " WHERE delivery_id IN " +
                              in_list(rows.size()) + " AND " + due,
                          parameters, failure, &changed))
            return false;
          // Another claimer took some meanwhile (on a server database): those this
          // claim holds are read back.
          std::set<std::string> held;
          bool all_held = changed == static_cast<std::int64_t>(rows.size());
          if (!all_held) {
            std::vector<Row> mine;
            parameters.erase(parameters.begin());
            parameters.push_back(claim);
            if (!db.query("SELECT delivery_id FROM velloc_deliveries WHERE delivery_id IN " +
                              in_list(rows.size()) + " AND claimed_by = ?",
                          parameters, &mine, failure))
              return false;
            for (const Row& row : mine) held.insert(row[0]);
          }
          for (const Row& row : rows) {
            if (!all_held && !held.contains(row[0])) continue;
            Delivery& delivery = claimed->emplace_back(delivery_of(row));
            delivery.claim = claim;
          }
        }
        return true;
      },
      error);
}

bool OdbcArchiveStore::claim_delivery(const std::string& id, std::int64_t now,
                                      const std::string& claimer, std::int64_t hold_ms,
                                      std::optional<Delivery>* claimed, std::string* error) {
  claimed->reset();
  const std::string claim = claimer + " #" + number(++claims_);
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        std::int64_t changed = 0;
        if (!db.execute(
                "UPDATE velloc_deliveries SET status = 'pending', next_attempt = " + number(now) +
                    ", claimed_by = ?, claimed_until = " + number(now + hold_ms) +
                    " WHERE delivery_id = ? AND status IN ('pending', 'failed') AND "
                    "claimed_until <= " +
                    number(now),
                {claim, id}, failure, &changed))
          return false;
        if (changed != 1) return true;
        std::vector<Row> rows;
        if (!db.query("SELECT " + delivery_columns(true) +
                          " FROM velloc_deliveries WHERE delivery_id = ?",
                      {id}, &rows, failure))
          return false;
        if (rows.size() == 1) {
          *claimed = delivery_of(rows[0]);
          (*claimed)->claim = claim;
        }
        return true;
      },
      error);
}

bool OdbcArchiveStore::finish_attempts(std::span<const FinishedAttempt> attempts,
                                       std::vector<std::size_t>* unheld, std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        unheld->clear();
        for (std::size_t i = 0; i < attempts.size(); ++i) {
          const FinishedAttempt& finished = attempts[i];
          const Delivery& delivery = *finished.claimed;
          std::int64_t changed = 0;
          if (!db.execute("UPDATE velloc_deliveries SET status = ?, attempts = attempts + 1, "
                          "next_attempt = " +
                              number(finished.next_attempt) +
                              ", claimed_by = '', claimed_until = 0 WHERE delivery_id = ? AND "
                              "claimed_by = ? AND status = 'pending'",
                          {finished.status, delivery.id, delivery.claim}, failure, &changed))
            return false;
          if (changed != 1) {
            unheld->push_back(i);
            continue;
          }
          if (!db.execute(
                  "INSERT INTO velloc_delivery_attempts (delivery_id, seq, at, result, "
                  "reply) VALUES (?, (SELECT attempts - 1 FROM velloc_deliveries WHERE "
                  "delivery_id = ?), " +
                      number(finished.attempt.at) + ", ?, ?)",
                  {delivery.id, delivery.id, finished.attempt.result, finished.attempt.reply},
                  failure))
            return false;
        }
        return true;
      },
      error);
}

bool OdbcArchiveStore::release_deliveries(std::span<const Delivery> claimed, std::string* error) {
  if (claimed.empty()) return true;
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        for (const Delivery& delivery : claimed)
          if (!db.execute("UPDATE velloc_deliveries SET claimed_by = '', claimed_until = 0 WHERE "
                          "delivery_id = ? AND claimed_by = ? AND status = 'pending'",
                          {delivery.id, delivery.claim}, failure))
            return false;
        return true;
      },
      error);
}

std::optional<std::vector<ArchivedSubmission>> OdbcArchiveStore::list(
    const SubmissionFilter& filter, std::string* error) {
  std::vector<std::string> parameters;
  std::string sql = "SELECT " + std::string(kSubmissionColumns) + " FROM velloc_submissions s" +
                    filter_clause(filter, value_holding(*database_), &parameters) +
                    " ORDER BY received_at DESC, submission_id DESC";
  std::optional<std::vector<Row>> rows = query_rows(sql, parameters, error);
  if (!rows) return std::nullopt;
  std::vector<ArchivedSubmission> submissions;
  for (const Row& row : *rows) submissions.push_back(submission_of(row));
  return submissions;
}

void OdbcArchiveStore::add_listing_indexes() {
  if (listing_indexed_) return;
  database_->run_each_autocommitted(
      std::vector<std::string>(std::begin(kListingIndexes), std::end(kListingIndexes)));
  listing_indexed_ = true;
}

std::optional<std::vector<ArchivedSubmission>> OdbcArchiveStore::list_page(
    const SubmissionFilter& filter, std::int64_t offset, int limit, std::string* error) {
  add_listing_indexes();
  std::vector<std::string> parameters;
  std::string sql = "SELECT " + std::string(kSubmissionColumns) + ", " + kDeliveryState +
                    " FROM velloc_submissions s" +
                    filter_clause(filter, value_holding(*database_), &parameters) +
                    " ORDER BY received_at DESC, submission_id DESC LIMIT " + number(limit) +
                    " OFFSET " + number(std::max<std::int64_t>(offset, 0));
  std::vector<ArchivedSubmission> page;
  bool ok = in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        page.clear();
        std::vector<Row> rows;
        if (!db.query(sql, parameters, &rows, failure)) return false;
        std::vector<std::string> ids;
        for (const Row& row : rows) {
          page.push_back(submission_of(row));
          page.back().delivery_state = row[kAfterSubmission];
          ids.push_back(row[0]);
        }
        if (ids.empty()) return true;
        std::vector<Row> fields;
        if (!db.query("SELECT submission_id, field_name, field_value FROM "
                      "velloc_submission_fields WHERE seq < " +
                          number(kListingFieldsRead) + " AND submission_id IN " +
                          in_list(ids.size()) + " ORDER BY submission_id, seq",
                      ids, &fields, failure))
          return false;
        std::map<std::string, ArchivedSubmission*> by_id;
        for (ArchivedSubmission& listed : page) by_id[listed.id] = &listed;
        for (const Row& field : fields)
          if (auto listed = by_id.find(field[0]); listed != by_id.end())
            listed->second->fields.emplace_back(field[1], field[2]);
        return true;
      },
      error, Access::kReads);
  if (!ok) return std::nullopt;
  return page;
}

std::optional<std::vector<DayCount>> OdbcArchiveStore::count_per_day(std::int64_t since,
                                                                     std::int64_t until,
                                                                     std::string* error) {
  add_listing_indexes();
  const std::string day = "received_at / " + number(kMsPerDay);
  std::string sql = "SELECT " + day +
                    ", COUNT(*), SUM(CASE WHEN status = 'spam' THEN 1 ELSE 0 END) FROM "
                    "velloc_submissions WHERE received_at >= " +
                    number(since) + " AND received_at < " + number(until) + " GROUP BY " + day +
                    " ORDER BY " + day;
  std::optional<std::vector<Row>> rows = query_rows(sql, {}, error);
  if (!rows) return std::nullopt;
  std::vector<DayCount> days;
  for (const Row& row : *rows)
    days.push_back({to_number(row[0]), to_number(row[1]), to_number(row[2])});
  return days;
}

bool OdbcArchiveStore::read_deliveries(ArchivedSubmission& submission, std::string* error) {
  std::vector<Row> rows;
  if (!database_->query("SELECT " + delivery_columns(true) +
                            " FROM velloc_deliveries WHERE submission_id = ? ORDER BY "
                            "created_at, delivery_id",
                        {submission.id}, &rows, error))
    return false;
  for (const Row& row : rows) {
    Delivery& delivery = submission.deliveries.emplace_back(delivery_of(row));
    std::vector<Row> attempts;
    if (!database_->query("SELECT at, result, reply FROM velloc_delivery_attempts WHERE "
                          "delivery_id = ? ORDER BY seq",
                          {delivery.id}, &attempts, error))
      return false;
    for (const Row& attempt : attempts)
      delivery.attempts.push_back({to_number(attempt[0]), attempt[1], attempt[2]});
  }
  return true;
}

bool OdbcArchiveStore::read_details(ArchivedSubmission& s, std::string* error) {
  std::vector<Row> fields, uploads, outcomes;
  if (!database_->query("SELECT field_name, field_value FROM velloc_submission_fields WHERE "
                        "submission_id = ? ORDER BY seq",
                        {s.id}, &fields, error) ||
      !database_->query("SELECT field_name, shown_name, content_type, byte_size, sha256, "
                        "stored_path FROM velloc_submission_uploads WHERE submission_id = ? "
                        "ORDER BY seq",
                        {s.id}, &uploads, error) ||
      !database_->query("SELECT action, result, at, detail FROM velloc_action_outcomes WHERE "
                        "submission_id = ? ORDER BY seq",
                        {s.id}, &outcomes, error))
    return false;
  for (const Row& row : fields) s.fields.emplace_back(row[0], row[1]);
  for (const Row& row : uploads)
    s.uploads.push_back(
        {row[0], row[1], row[2], static_cast<std::uint64_t>(to_number(row[3])), row[4], row[5]});
  for (const Row& row : outcomes) s.outcomes.push_back({row[0], row[1], to_number(row[2]), row[3]});
  return read_deliveries(s, error);
}

// The details of every submission `selected` (a query of their ids) names,
// added to `records` (those submissions, each once) by id.
bool OdbcArchiveStore::read_all_details(OdbcDatabase& db, const std::string& selected,
                                        const std::vector<std::string>& parameters,
                                        std::vector<ArchivedSubmission>& records,
                                        std::string* error) {
  if (records.empty()) return true;
  std::unordered_map<std::string, ArchivedSubmission*> by_id;
  for (ArchivedSubmission& record : records) by_id[record.id] = &record;
  auto each = [&](const std::string& sql, auto add) {
    std::vector<Row> rows;
    if (!db.query(sql, parameters, &rows, error)) return false;
    for (const Row& row : rows)
      if (auto record = by_id.find(row[0]); record != by_id.end()) add(*record->second, row);
    return true;
  };
  const std::string in_selected = " WHERE submission_id IN (" + selected + ")";
  std::unordered_map<std::string, Delivery*> deliveries;
  return each("SELECT submission_id, field_name, field_value FROM velloc_submission_fields" +
                  in_selected + " ORDER BY submission_id, seq",
              [](ArchivedSubmission& s, const Row& row) {
                s.fields.emplace_back(row[1], row[2]);
              }) &&
         each(
             "SELECT submission_id, field_name, shown_name, content_type, byte_size, sha256, "
             "stored_path FROM velloc_submission_uploads" +
                 in_selected + " ORDER BY submission_id, seq",
             [](ArchivedSubmission& s, const Row& row) {
               s.uploads.push_back({row[1], row[2], row[3],
                                    static_cast<std::uint64_t>(to_number(row[4])), row[5], row[6]});
             }) &&
         each("SELECT submission_id, action, result, at, detail FROM velloc_action_outcomes" +
                  in_selected + " ORDER BY submission_id, seq",
              [](ArchivedSubmission& s, const Row& row) {
                s.outcomes.push_back({row[1], row[2], to_number(row[3]), row[4]});
              }) &&
         each("SELECT submission_id, " + delivery_columns(false) + " FROM velloc_deliveries" +
                  in_selected + " ORDER BY created_at, delivery_id",
              [](ArchivedSubmission& s, const Row& row) {
                s.deliveries.push_back(delivery_of(Row(row.begin() + 1, row.end())));
              }) &&
         [&] {
           for (ArchivedSubmission& record : records)
             for (Delivery& delivery : record.deliveries) deliveries[delivery.id] = &delivery;
           std::vector<Row> rows;
           if (!db.query(
                   "SELECT delivery_id, at, result, reply FROM velloc_delivery_attempts WHERE "
                   "delivery_id IN (SELECT delivery_id FROM velloc_deliveries" +
                       in_selected + ") ORDER BY delivery_id, seq",
                   parameters, &rows, error))
             return false;
           for (const Row& row : rows)
             if (auto delivery = deliveries.find(row[0]); delivery != deliveries.end())
               delivery->second->attempts.push_back({to_number(row[1]), row[2], row[3]});
           return true;
         }();
}

std::optional<std::vector<ArchivedSubmission>> OdbcArchiveStore::records(
    const SubmissionFilter& filter, const ArchivedSubmission* after, int limit,
    std::string* error) {
  std::vector<std::string> parameters;
  std::string where = filter_clause(filter, value_holding(*database_), &parameters);
  // Where the last page ended, in the listing's order: received_at, then the id.
  // The bound on received_at alone starts the index's scan there.
  if (after != nullptr) {
    const std::string at = number(after->received_at);
    where += " AND received_at <= " + at + " AND (received_at < " + at + " OR submission_id < ?)";
    parameters.push_back(after->id);
  }
  // The page's ids by the query of its rows: a few parameters, whatever its size.
  auto page = [&](std::size_t rows) {
    return " FROM velloc_submissions s" + where +
           " ORDER BY received_at DESC, submission_id DESC LIMIT " +
           number(static_cast<std::int64_t>(rows));
  };
  // With the size of each one's fields, by the key of its fields.
  const std::string sized =
      "SELECT " + std::string(kSubmissionColumns) +
      ", (SELECT COALESCE(SUM(LENGTH(f.field_name) + LENGTH(f.field_value) + " +
      number(kRecordFieldCost) +
      "), 0) FROM velloc_submission_fields f WHERE f.submission_id = s.submission_id)" +
      page(static_cast<std::size_t>(std::max(limit, 1)));
  std::vector<ArchivedSubmission> records;
  bool ok = in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        records.clear();
        std::vector<Row> rows;
        if (!db.query(sized, parameters, &rows, failure)) return false;
        std::int64_t bytes = 0;
        for (const Row& row : rows) {
          bytes += to_number(row[kAfterSubmission]);
          if (!records.empty() && bytes > kRecordsBytes) break;
          records.push_back(submission_of(row));
        }
        return read_all_details(db, "SELECT submission_id" + page(records.size()), parameters,
                                records, failure);
      },
      error, Access::kReads);
  if (!ok) return std::nullopt;
  return records;
}

std::optional<std::vector<std::string>> OdbcArchiveStore::field_names(
    const SubmissionFilter& filter, std::size_t limit, bool* more, std::string* error) {
  std::vector<std::string> parameters;
  const std::string where = filter_clause(filter, value_holding(*database_), &parameters);
  // Each name at the place of its first field in the listing's order, with the
  // number of submissions holding it; the database ranks them, so that no more
  // than `limit` and one come back whatever the archive holds.
  const std::string sql =
      "SELECT field_name, MIN(place) AS first_place FROM (SELECT f.field_name, f.submission_id, "
      "ROW_NUMBER() OVER (ORDER BY listed.received_at DESC, listed.submission_id DESC, f.seq) "
      "AS place FROM velloc_submission_fields f JOIN (SELECT submission_id, received_at FROM "
      "velloc_submissions s" +
      where +
      ") listed ON listed.submission_id = f.submission_id) placed GROUP BY field_name ORDER BY "
      "COUNT(DISTINCT submission_id) DESC, first_place LIMIT " +
      number(static_cast<std::int64_t>(limit) + 1);
  std::optional<std::vector<Row>> rows = query_rows(sql, parameters, error);
  if (!rows) return std::nullopt;
  *more = rows->size() > limit;
  if (*more) rows->resize(limit);
  std::sort(rows->begin(), rows->end(),
            [](const Row& a, const Row& b) { return to_number(a[1]) < to_number(b[1]); });
  std::vector<std::string> names;
  for (Row& row : *rows) names.push_back(std::move(row[0]));
  return names;
}

bool OdbcArchiveStore::find(const std::string& id, std::optional<ArchivedSubmission>* found,
                            std::string* error) {
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        found->reset();
        std::vector<Row> rows;
        if (!db.query("SELECT " + std::string(kSubmissionColumns) +
                          " FROM velloc_submissions WHERE submission_id = ?",
                      {id}, &rows, failure))
          return false;
        if (rows.empty()) return true;
        ArchivedSubmission s = submission_of(rows[0]);
        if (!read_details(s, failure)) return false;
        *found = std::move(s);
        return true;
      },
      error, Access::kReads);
}

bool OdbcArchiveStore::remove(const std::vector<std::string>& ids, std::string* error) {
  if (ids.empty()) return true;
  const std::string list = in_list(ids.size());
  return in_transaction(
      [&](OdbcDatabase& db, std::string* failure) {
        return db.execute(
                   "DELETE FROM velloc_delivery_attempts WHERE delivery_id IN (SELECT "
                   "delivery_id FROM velloc_deliveries WHERE submission_id IN " +
                       list + ")",
                   ids, failure) &&
               db.execute(
                   "DELETE FROM velloc_delivery_parts WHERE delivery_id IN (SELECT "
                   "delivery_id FROM velloc_deliveries WHERE submission_id IN " +
                       list + ")",
                   ids, failure) &&
               db.execute("DELETE FROM velloc_deliveries WHERE submission_id IN " + list, ids,
                          failure) &&
               db.execute("DELETE FROM velloc_action_outcomes WHERE submission_id IN " + list, ids,
                          failure) &&
               db.execute("DELETE FROM velloc_submission_uploads WHERE submission_id IN " + list,
                          ids, failure) &&
               db.execute("DELETE FROM velloc_submission_fields WHERE submission_id IN " + list,
                          ids, failure) &&
               db.execute("DELETE FROM velloc_submissions WHERE submission_id IN " + list, ids,
                          failure);
      },
      error);
}

std::optional<std::vector<std::string>> OdbcArchiveStore::ids_of(
    const std::string& sql, const std::vector<std::string>& parameters, std::string* error) {
  std::optional<std::vector<Row>> rows = query_rows(sql, parameters, error);
  if (!rows) return std::nullopt;
  std::vector<std::string> ids;
  for (const Row& row : *rows) ids.push_back(row[0]);
  return ids;
}

std::optional<std::vector<std::string>> OdbcArchiveStore::expired(std::int64_t now,
                                                                  std::string* error) {
  return ids_of("SELECT submission_id FROM velloc_submissions WHERE keep_until <= " + number(now) +
                    " ORDER BY submission_id",
                {}, error);
}

std::optional<std::vector<std::string>> OdbcArchiveStore::holding(const std::string& text,
                                                                  std::string* error) {
  return ids_of("SELECT DISTINCT submission_id FROM velloc_submission_fields WHERE " +
                    value_holding(*database_) + " ORDER BY submission_id",
                {like_holding(text)}, error);
}

bool OdbcArchiveStore::reconnect(std::string* error) {
  std::unique_ptr<OdbcDatabase> database = OdbcDatabase::open(connection_, error);
  if (!database) return false;
  database_ = std::move(database);
  return true;
}

}  // namespace

std::unique_ptr<ArchiveStore> open_odbc_archive_store(const std::string& connection,
                                                      std::string* error) {
  std::shared_ptr<OdbcDatabase> database = OdbcDatabase::open(connection, error);
  if (!database) return nullptr;
  return open_odbc_archive_store(connection, std::move(database));
}

std::unique_ptr<ArchiveStore> open_odbc_archive_store(const std::string& connection,
                                                      std::shared_ptr<OdbcDatabase> database) {
  return std::make_unique<OdbcArchiveStore>(connection, std::move(database));
}
