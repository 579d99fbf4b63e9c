// The state store over ODBC: every statement of the store is in this file; the
// connection is an OdbcDatabase, which the archive may share.

#include <algorithm>
#include <cstdlib>
#include <string>

#include "velloc/guard/state_store.h"
#include "velloc/storage/odbc_database.h"

namespace {

constexpr char kCounterTable[] =
    "CREATE TABLE IF NOT EXISTS velloc_counters ("
    "counter_name VARCHAR(64) PRIMARY KEY, next_value BIGINT NOT NULL)";
constexpr char kKeyTable[] =
    "CREATE TABLE IF NOT EXISTS velloc_rate_keys ("
    "event_key VARCHAR(300) PRIMARY KEY, last_time BIGINT NOT NULL)";
constexpr char kEventTable[] =
    "CREATE TABLE IF NOT EXISTS velloc_rate_events ("
    "event_key VARCHAR(300) NOT NULL, event_time BIGINT NOT NULL)";
constexpr char kEventIndex[] =
    "CREATE INDEX IF NOT EXISTS velloc_rate_events_key "
    "ON velloc_rate_events (event_key, event_time)";
constexpr char kUsedTable[] =
    "CREATE TABLE IF NOT EXISTS velloc_used_tokens ("
    "token VARCHAR(128) PRIMARY KEY, expires_at BIGINT NOT NULL, uses BIGINT NOT NULL)";
constexpr char kSecretTable[] =
    "CREATE TABLE IF NOT EXISTS velloc_secrets ("
    "secret_name VARCHAR(64) PRIMARY KEY, secret_value VARCHAR(128) NOT NULL)";
// A new store fails the first attempt; a concurrent run making the same tables
// may fail the second.
constexpr int kAttempts = 3;

// The first column of each row as a number.
bool first_columns(OdbcDatabase& db, const std::string& sql,
                   const std::vector<std::string>& parameters, std::vector<std::int64_t>* values,
                   std::string* error) {
  std::vector<OdbcDatabase::Row> rows;
  if (!db.query(sql, parameters, &rows, error)) return false;
  for (const OdbcDatabase::Row& row : rows)
    values->push_back(row.empty() ? 0 : std::strtoll(row[0].c_str(), nullptr, 10));
  return true;
}

class OdbcStateStore final : public StateStore {
 public:
  explicit OdbcStateStore(std::shared_ptr<OdbcDatabase> database)
      : database_(std::move(database)) {}

  bool record_events_if(
      const std::vector<EventQuery>& queries, std::int64_t now,
      const std::function<bool(const std::vector<std::vector<std::int64_t>>&)>& admit,
      std::string* error) override;
  std::optional<std::int64_t> take_counter(const std::string& name, std::int64_t first,
                                           std::string* error) override;
  std::optional<bool> use_once(const std::string& token, std::int64_t expires, std::int64_t now,
                               std::string* error) override;
  std::optional<std::string> kept_secret(const std::string& name, const std::string& candidate,
                                         std::string* error) override;
  bool forget_key(const std::string& key, std::string* error) override;
  bool answers(std::string* error) override {
    return in_transaction(
        [&](std::string* failure) {
          std::vector<std::int64_t> values;
          return run("SELECT COUNT(*) FROM velloc_rate_keys", {}, &values, failure);
        },
        error);
  }

 private:
  bool run(const std::string& sql, const std::vector<std::string>& parameters,
           std::vector<std::int64_t>* values, std::string* error) {
    if (values == nullptr) return database_->execute(sql, parameters, error);
    return first_columns(*database_, sql, parameters, values, error);
  }
  // Runs `body` in a transaction; after a failure creates the tables (the store
  // may be new) and tries again.
  template <typename Body>
  bool in_transaction(Body body, std::string* error);

  std::shared_ptr<OdbcDatabase> database_;
};

template <typename Body>
bool OdbcStateStore::in_transaction(Body body, std::string* error) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (body(error) && database_->commit(error)) return true;
    database_->rollback();
    // Each on its own and its failure ignored: a concurrent run may be making the
    // same tables.
    if (attempt + 1 < kAttempts)
      database_->run_each_autocommitted(
          {kCounterTable, kKeyTable, kEventTable, kEventIndex, kUsedTable, kSecretTable});
  }
  return false;
}

bool OdbcStateStore::record_events_if(
    const std::vector<EventQuery>& queries, std::int64_t now,
    const std::function<bool(const std::vector<std::vector<std::int64_t>>&)>& admit,
    std::string* error) {
  // Keys are locked in sorted order, so that two runs never wait for each other
  // in a circle.
  std::vector<std::size_t> order(queries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return queries[a].key < queries[b].key; });
  std::string at = std::to_string(now);
  return in_transaction(
      [&](std::string* failure) {
        std::vector<std::vector<std::int64_t>> times(queries.size());
        for (std::size_t i : order) {
          const EventQuery& query = queries[i];
          bool ok = run("INSERT INTO velloc_rate_keys (event_key, last_time) VALUES (?, " + at +
                            ") ON CONFLICT DO NOTHING",
                        {query.key}, nullptr, failure) &&
                    run("UPDATE velloc_rate_keys SET last_time = " + at + " WHERE event_key = ?",
                        {query.key}, nullptr, failure) &&
                    run("DELETE FROM velloc_rate_events WHERE event_key = ? AND event_time <= " +
                            std::to_string(query.prune_before),
                        {query.key}, nullptr, failure) &&
                    run("SELECT event_time FROM velloc_rate_events WHERE event_key = ? AND "
                        "event_time > " +
                            std::to_string(query.since) + " ORDER BY event_time",
                        {query.key}, &times[i], failure);
          if (!ok) return false;
        }
        if (!admit(times)) return true;
        for (const EventQuery& query : queries)
          if (!run("INSERT INTO velloc_rate_events (event_key, event_time) VALUES (?, " + at + ")",
                   {query.key}, nullptr, failure))
            return false;
        return true;
      },
      error);
}

std::optional<std::int64_t> OdbcStateStore::take_counter(const std::string& name,
                                                         std::int64_t first, std::string* error) {
  std::vector<std::int64_t> rows;
  bool ok = in_transaction(
      [&](std::string* failure) {
        rows.clear();
        return run("INSERT INTO velloc_counters (counter_name, next_value) VALUES (?, " +
                       std::to_string(first) + ") ON CONFLICT DO NOTHING",
                   {name}, nullptr, failure) &&
               run("UPDATE velloc_counters SET next_value = next_value + 1 WHERE counter_name = ?",
                   {name}, nullptr, failure) &&
               run("SELECT next_value - 1 FROM velloc_counters WHERE counter_name = ?", {name},
                   &rows, failure);
      },
      error);
  if (!ok) return std::nullopt;
  if (rows.size() != 1) {
    *error = "counter " + name + " not found";
    return std::nullopt;
  }
  return rows.front();
}

// The row's use count, raised under its lock, tells the first use from a
// concurrent second one.
std::optional<bool> OdbcStateStore::use_once(const std::string& token, std::int64_t expires,
                                             std::int64_t now, std::string* error) {
  std::vector<std::int64_t> uses;
  bool ok = in_transaction(
      [&](std::string* failure) {
        uses.clear();
        return run("DELETE FROM velloc_used_tokens WHERE expires_at <= " + std::to_string(now), {},
                   nullptr, failure) &&
               run("INSERT INTO velloc_used_tokens (token, expires_at, uses) VALUES (?, " +
                       std::to_string(expires) + ", 0) ON CONFLICT DO NOTHING",
                   {token}, nullptr, failure) &&
               run("UPDATE velloc_used_tokens SET uses = uses + 1 WHERE token = ?", {token},
                   nullptr, failure) &&
               run("SELECT uses FROM velloc_used_tokens WHERE token = ?", {token}, &uses, failure);
      },
      error);
  if (!ok) return std::nullopt;
  if (uses.size() != 1) {
    *error = "token " + token + " not found";
    return std::nullopt;
  }
  return uses.front() == 1;
}

// The first writer's candidate wins; a concurrent one reads it.
std::optional<std::string> OdbcStateStore::kept_secret(const std::string& name,
                                                       const std::string& candidate,
                                                       std::string* error) {
  std::vector<OdbcDatabase::Row> rows;
  bool ok = in_transaction(
      [&](std::string* failure) {
        rows.clear();
        return run("INSERT INTO velloc_secrets (secret_name, secret_value) VALUES (?, ?) "
                   "ON CONFLICT DO NOTHING",
                   {name, candidate}, nullptr, failure) &&
               database_->query("SELECT secret_value FROM velloc_secrets WHERE secret_name = ?",
                                {name}, &rows, failure);
      },
      error);
  if (!ok) return std::nullopt;
  if (rows.size() != 1 || rows.front().empty() || rows.front()[0].empty()) {
    *error = "secret " + name + " not found";
    return std::nullopt;
  }
  return rows.front()[0];
}

// The key's row first: a concurrent run counting under it waits for this one.
bool OdbcStateStore::forget_key(const std::string& key, std::string* error) {
  return in_transaction(
      [&](std::string* failure) {
        return run("DELETE FROM velloc_rate_keys WHERE event_key = ?", {key}, nullptr, failure) &&
               run("DELETE FROM velloc_rate_events WHERE event_key = ?", {key}, nullptr, failure);
      },
      error);
}

}  // namespace

std::unique_ptr<StateStore> open_odbc_state_store(const std::string& connection,
                                                  std::string* error) {
  std::string ignored;
  std::shared_ptr<OdbcDatabase> database = OdbcDatabase::open(connection, error ? error : &ignored);
  if (!database) return nullptr;
  return open_odbc_state_store(std::move(database));
}

std::unique_ptr<StateStore> open_odbc_state_store(std::shared_ptr<OdbcDatabase> database) {
  return std::make_unique<OdbcStateStore>(std::move(database));
}
