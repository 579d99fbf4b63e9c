// The state store over ODBC. Every ODBC call of the store is in this file.

#include <algorithm>
#include <cstdlib>
#include <string>

#include "velloc/guard/state_store.h"
#include "velloc/storage/odbc_diagnostics.h"
#include "velloc/storage/odbc_library.h"

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
constexpr int kBusyMilliseconds = 60000;
// A new store fails the first attempt; a concurrent run making the same tables
// may fail the second.
constexpr int kAttempts = 3;

bool succeeded(SQLRETURN code) { return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO; }

SQLCHAR* sql_text(const std::string& text) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

class OdbcStateStore final : public StateStore {
 public:
  explicit OdbcStateStore(const OdbcApi& odbc) : odbc_(odbc) {}
  ~OdbcStateStore() override;
  OdbcStateStore(const OdbcStateStore&) = delete;
  OdbcStateStore& operator=(const OdbcStateStore&) = delete;

  bool connect(const std::string& connection, std::string* error);
  bool record_events_if(
      const std::vector<EventQuery>& queries, std::int64_t now,
      const std::function<bool(const std::vector<std::vector<std::int64_t>>&)>& admit,
      std::string* error) override;
  std::optional<std::int64_t> take_counter(const std::string& name, std::int64_t first,
                                           std::string* error) override;
  std::optional<bool> use_once(const std::string& token, std::int64_t expires, std::int64_t now,
                               std::string* error) override;

 private:
  // Runs `sql` with the text parameters; the rows' first columns go to `rows`
  // when given. False with `*error` set on failure.
  bool run(const std::string& sql, const std::vector<std::string>& parameters,
           std::vector<std::int64_t>* rows, std::string* error);
  bool fetch_first_columns(SQLHSTMT statement, std::vector<std::int64_t>& rows);
  bool end_transaction(bool commit, std::string* error);
  // Runs `body` in a transaction; after a failure creates the tables (the store
  // may be new) and tries again.
  template <typename Body>
  bool in_transaction(Body body, std::string* error);
  void create_tables();
  bool is_sqlite();

  const OdbcApi& odbc_;  // the process's driver manager, loaded before the store opens
  SQLHENV environment_ = SQL_NULL_HENV;
  SQLHDBC connection_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

OdbcStateStore::~OdbcStateStore() {
  if (connected_) {
    odbc_.SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_ROLLBACK);
    odbc_.SQLDisconnect(connection_);
  }
  if (connection_ != SQL_NULL_HDBC) odbc_.SQLFreeHandle(SQL_HANDLE_DBC, connection_);
  if (environment_ != SQL_NULL_HENV) odbc_.SQLFreeHandle(SQL_HANDLE_ENV, environment_);
}

bool OdbcStateStore::connect(const std::string& connection, std::string* error) {
  if (!succeeded(odbc_.SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment_))) {
    *error = "cannot allocate an ODBC environment";
    return false;
  }
  odbc_.SQLSetEnvAttr(environment_, SQL_ATTR_ODBC_VERSION,
                      reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!succeeded(odbc_.SQLAllocHandle(SQL_HANDLE_DBC, environment_, &connection_))) {
    *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_ENV, environment_);
    return false;
  }
  SQLRETURN code = odbc_.SQLDriverConnect(connection_, nullptr, sql_text(connection), SQL_NTS,
                                          nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  connected_ = succeeded(code);
  if (!connected_) {
    *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
    return false;
  }
  // The embedded store: runs wait for each other's locks instead of failing, and
  // readers never block the writer.
  std::string ignored;
  if (is_sqlite()) {
    run("PRAGMA busy_timeout=" + std::to_string(kBusyMilliseconds), {}, nullptr, &ignored);
    run("PRAGMA journal_mode=WAL", {}, nullptr, &ignored);
  }
  code = odbc_.SQLSetConnectAttr(connection_, SQL_ATTR_AUTOCOMMIT,
                                 reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  if (!succeeded(code)) *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
  return succeeded(code);
}

bool OdbcStateStore::is_sqlite() {
  SQLCHAR name[64] = {};
  SQLSMALLINT length = 0;
  if (!succeeded(odbc_.SQLGetInfo(connection_, SQL_DBMS_NAME, name, sizeof name, &length)))
    return false;
  std::string dbms(reinterpret_cast<char*>(name));
  std::transform(dbms.begin(), dbms.end(), dbms.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return dbms.find("sqlite") != std::string::npos;
}

// Tables are made in autocommit mode, each on its own, and their failures
// ignored: a concurrent run may be making them at the same time.
void OdbcStateStore::create_tables() {
  std::string ignored;
  odbc_.SQLSetConnectAttr(connection_, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  for (const char* statement : {kCounterTable, kKeyTable, kEventTable, kEventIndex, kUsedTable})
    run(statement, {}, nullptr, &ignored);
  odbc_.SQLSetConnectAttr(connection_, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
}

bool OdbcStateStore::fetch_first_columns(SQLHSTMT statement, std::vector<std::int64_t>& rows) {
  SQLSMALLINT columns = 0;
  if (!succeeded(odbc_.SQLNumResultCols(statement, &columns)) || columns == 0) return true;
  SQLRETURN code;
  while (succeeded(code = odbc_.SQLFetch(statement))) {
    char value[32] = {};
    SQLLEN length = 0;
    if (!succeeded(odbc_.SQLGetData(statement, 1, SQL_C_CHAR, value, sizeof value, &length)))
      return false;
    rows.push_back(std::strtoll(value, nullptr, 10));
  }
  return code == SQL_NO_DATA;
}

bool OdbcStateStore::run(const std::string& sql, const std::vector<std::string>& parameters,
                         std::vector<std::int64_t>* rows, std::string* error) {
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (!succeeded(odbc_.SQLAllocHandle(SQL_HANDLE_STMT, connection_, &statement))) {
    *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
    return false;
  }
  std::vector<SQLLEN> lengths(parameters.size());
  bool ok = succeeded(odbc_.SQLPrepare(statement, sql_text(sql), SQL_NTS));
  for (std::size_t i = 0; ok && i < parameters.size(); ++i) {
    lengths[i] = static_cast<SQLLEN>(parameters[i].size());
    ok = succeeded(odbc_.SQLBindParameter(
        statement, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
        std::max<SQLULEN>(parameters[i].size(), 1), 0, const_cast<char*>(parameters[i].data()),
        lengths[i], &lengths[i]));
  }
  if (ok) {
    SQLRETURN code = odbc_.SQLExecute(statement);
    ok = succeeded(code) || code == SQL_NO_DATA;  // no row matched
  }
  ok = ok && (rows == nullptr || fetch_first_columns(statement, *rows));
  if (!ok) *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_STMT, statement);
  odbc_.SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return ok;
}

bool OdbcStateStore::end_transaction(bool commit, std::string* error) {
  SQLRETURN code =
      odbc_.SQLEndTran(SQL_HANDLE_DBC, connection_, commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (!succeeded(code)) *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
  return succeeded(code);
}

template <typename Body>
bool OdbcStateStore::in_transaction(Body body, std::string* error) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (body(error) && end_transaction(true, error)) return true;
    std::string ignored;
    end_transaction(false, &ignored);
    if (attempt + 1 < kAttempts) create_tables();
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

}  // namespace

std::unique_ptr<StateStore> open_odbc_state_store(const std::string& connection,
                                                  std::string* error) {
  std::string load_error;
  const OdbcApi* odbc = odbc_api(&load_error);
  if (odbc == nullptr) {
    if (error) *error = "ODBC driver manager not available (" + load_error + ")";
    return nullptr;
  }
  auto store = std::make_unique<OdbcStateStore>(*odbc);
  if (!store->connect(connection, error)) return nullptr;
  return store;
}
