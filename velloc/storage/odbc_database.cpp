#include "velloc/storage/odbc_database.h"

#include <algorithm>
#include <cctype>

#include "velloc/storage/odbc_diagnostics.h"
#include "velloc/storage/odbc_library.h"

namespace {

constexpr int kBusyMilliseconds = 60000;
constexpr SQLULEN kLongText = 4000;
constexpr std::size_t kFetchChunk = 4096;

bool succeeded(SQLRETURN code) { return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO; }

SQLCHAR* sql_text(const std::string& text) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

}  // namespace

std::unique_ptr<OdbcDatabase> OdbcDatabase::open(const std::string& connection,
                                                 std::string* error) {
  std::string load_error;
  const OdbcApi* odbc = odbc_api(&load_error);
  if (odbc == nullptr) {
    *error = "ODBC driver manager not available (" + load_error + ")";
    return nullptr;
  }
  std::unique_ptr<OdbcDatabase> database(new OdbcDatabase(*odbc));
  if (!database->connect(connection, error)) return nullptr;
  return database;
}

OdbcDatabase::~OdbcDatabase() {
  if (connected_) {
    odbc_.SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_ROLLBACK);
    odbc_.SQLDisconnect(connection_);
  }
  if (connection_ != SQL_NULL_HDBC) odbc_.SQLFreeHandle(SQL_HANDLE_DBC, connection_);
  if (environment_ != SQL_NULL_HENV) odbc_.SQLFreeHandle(SQL_HANDLE_ENV, environment_);
}

bool OdbcDatabase::connect(const std::string& connection, std::string* error) {
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
  connected_ = succeeded(odbc_.SQLDriverConnect(connection_, nullptr, sql_text(connection), SQL_NTS,
                                                nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
  if (!connected_) {
    *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
    return false;
  }
  // The embedded store: processes wait for each other's locks instead of failing,
  // and readers never block the writer.
  std::string dbms = dbms_name();
  sqlite_ = dbms.find("sqlite") != std::string::npos;
  postgresql_ = dbms.find("postgresql") != std::string::npos;
  std::string ignored;
  if (sqlite_) {
    run("PRAGMA busy_timeout=" + std::to_string(kBusyMilliseconds), {}, nullptr, nullptr, &ignored);
    run("PRAGMA journal_mode=WAL", {}, nullptr, nullptr, &ignored);
  }
  SQLRETURN code = odbc_.SQLSetConnectAttr(connection_, SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  if (!succeeded(code)) *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
  return succeeded(code);
}

std::string OdbcDatabase::dbms_name() {
  SQLCHAR name[64] = {};
  SQLSMALLINT length = 0;
  if (!succeeded(odbc_.SQLGetInfo(connection_, SQL_DBMS_NAME, name, sizeof name, &length)))
    return {};
  std::string dbms(reinterpret_cast<char*>(name));
  std::transform(dbms.begin(), dbms.end(), dbms.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return dbms;
}

bool OdbcDatabase::execute(const std::string& sql, const std::vector<std::string>& parameters,
                           std::string* error, std::int64_t* changed) {
  return run(sql, parameters, nullptr, changed, error);
}

bool OdbcDatabase::query(const std::string& sql, const std::vector<std::string>& parameters,
                         std::vector<Row>* rows, std::string* error) {
  return run(sql, parameters, rows, nullptr, error);
}

bool OdbcDatabase::commit(std::string* error) {
  SQLRETURN code = odbc_.SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_COMMIT);
  if (!succeeded(code)) *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
  return succeeded(code);
}

void OdbcDatabase::rollback() { odbc_.SQLEndTran(SQL_HANDLE_DBC, connection_, SQL_ROLLBACK); }

void OdbcDatabase::run_each_autocommitted(const std::vector<std::string>& statements) {
  std::string ignored;
  odbc_.SQLSetConnectAttr(connection_, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  for (const std::string& statement : statements) run(statement, {}, nullptr, nullptr, &ignored);
  odbc_.SQLSetConnectAttr(connection_, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
}

// Long values come in pieces: each SQLGetData call after the first continues
// where the last one stopped.
bool OdbcDatabase::fetch_rows(SQLHSTMT statement, std::vector<Row>& rows) {
  SQLSMALLINT columns = 0;
  if (!succeeded(odbc_.SQLNumResultCols(statement, &columns)) || columns == 0) return true;
  SQLRETURN code;
  std::vector<char> chunk(kFetchChunk);
  while (succeeded(code = odbc_.SQLFetch(statement))) {
    Row& row = rows.emplace_back(static_cast<std::size_t>(columns));
    for (SQLSMALLINT column = 1; column <= columns; ++column) {
      std::string& value = row[static_cast<std::size_t>(column - 1)];
      for (;;) {
        SQLLEN length = 0;
        SQLRETURN got = odbc_.SQLGetData(statement, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR,
                                         chunk.data(), static_cast<SQLLEN>(chunk.size()), &length);
        if (got == SQL_NO_DATA || length == SQL_NULL_DATA) break;
        if (!succeeded(got)) return false;
        bool whole = got == SQL_SUCCESS && length != SQL_NO_TOTAL &&
                     length < static_cast<SQLLEN>(chunk.size());
        value.append(chunk.data(), whole ? static_cast<std::size_t>(length) : chunk.size() - 1);
        if (whole || got == SQL_SUCCESS) break;
      }
    }
  }
  return code == SQL_NO_DATA;
}

bool OdbcDatabase::run(const std::string& sql, const std::vector<std::string>& parameters,
                       std::vector<Row>* rows, std::int64_t* changed, std::string* error) {
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (!succeeded(odbc_.SQLAllocHandle(SQL_HANDLE_STMT, connection_, &statement))) {
    *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_DBC, connection_);
    return false;
  }
  std::vector<SQLLEN> lengths(parameters.size());
  bool ok = succeeded(odbc_.SQLPrepare(statement, sql_text(sql), SQL_NTS));
  for (std::size_t i = 0; ok && i < parameters.size(); ++i) {
    lengths[i] = static_cast<SQLLEN>(parameters[i].size());
    SQLULEN size = std::max<SQLULEN>(parameters[i].size(), 1);
    ok = succeeded(odbc_.SQLBindParameter(
        statement, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
        size > kLongText ? SQL_LONGVARCHAR : SQL_VARCHAR, size, 0,
        const_cast<char*>(parameters[i].data()), lengths[i], &lengths[i]));
  }
  if (ok) {
    SQLRETURN code = odbc_.SQLExecute(statement);
    ok = succeeded(code) || code == SQL_NO_DATA;  // no row matched
    if (changed != nullptr) {
      SQLLEN count = 0;
      *changed = code != SQL_NO_DATA && ok && succeeded(odbc_.SQLRowCount(statement, &count))
                     ? static_cast<std::int64_t>(count)
                     : 0;
    }
  }
  ok = ok && (rows == nullptr || fetch_rows(statement, *rows));
  if (!ok) *error = odbc_diagnostic_records(odbc_, SQL_HANDLE_STMT, statement);
  odbc_.SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return ok;
}

std::optional<std::vector<std::string>> odbc_data_source_names() {
  const OdbcApi* odbc = odbc_api(nullptr);
  if (!odbc) return std::nullopt;
  SQLHANDLE environment = nullptr;
  if (!succeeded(odbc->SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment)))
    return std::nullopt;
  odbc->SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION,
                      reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  std::vector<std::string> names;
  SQLCHAR name[SQL_MAX_DSN_LENGTH + 1];
  SQLCHAR description[256];
  SQLSMALLINT name_length = 0, description_length = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (succeeded(odbc->SQLDataSources(environment, direction, name, sizeof name, &name_length,
                                        description, sizeof description, &description_length))) {
    names.emplace_back(reinterpret_cast<const char*>(name));
    direction = SQL_FETCH_NEXT;
  }
  odbc->SQLFreeHandle(SQL_HANDLE_ENV, environment);
  return names;
}
