#include "velloc/storage/database_insert.h"

#include <sqlext.h>

#include <fstream>
#include <string>
#include <vector>

#include "velloc/archive/archive_step.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"
#include "velloc/site.h"
#include "velloc/storage/database_connections.h"
#include "velloc/storage/database_template.h"
#include "velloc/storage/odbc_diagnostics.h"
#include "velloc/storage/odbc_library.h"
#include "velloc/templates/text_files.h"

namespace {

bool succeeded(SQLRETURN code) { return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO; }

SQLCHAR* odbc_text(std::string& text) { return reinterpret_cast<SQLCHAR*>(text.data()); }

// The ODBC conversation of one insert, call by call, each logged and judged.
// Takes a kept connection for the record's data source when there is one, and
// gives it back when the insert succeeded and connections are kept; whatever is
// still held when it is destroyed (after a failed call) is released without
// logging, the connection too, so that the next insert connects afresh.
class InsertSession {
 public:
  InsertSession(const OdbcApi& odbc, const MailMessage& context, DatabaseConnections& kept)
      : odbc_(odbc), context_(context), kept_(kept) {}
  ~InsertSession();
  InsertSession(const InsertSession&) = delete;
  InsertSession& operator=(const InsertSession&) = delete;

  bool connect(DatabaseRecord& record);
  bool prepare(std::string& statement);
  bool bind(DatabaseRecord& record);
  bool execute();
  bool release();

 private:
  bool checked(SQLRETURN code) { return odbc_call_succeeded(odbc_, context_, code, handles_); }
  void trace(const char* line) { log_event(context_, 15, "%s", line); }

  const OdbcApi& odbc_;
  const MailMessage& context_;
  DatabaseConnections& kept_;
  std::string key_;
  OdbcHandles handles_;
  bool connected_ = false;
  std::vector<SQLLEN> indicators_;  // must outlive SQLExecute
};

InsertSession::~InsertSession() {
  if (handles_.statement != SQL_NULL_HSTMT) odbc_.SQLFreeStmt(handles_.statement, SQL_DROP);
  if (connected_) odbc_.SQLDisconnect(handles_.connection);
  if (handles_.connection != SQL_NULL_HDBC) odbc_.SQLFreeConnect(handles_.connection);
  if (handles_.environment != SQL_NULL_HENV) odbc_.SQLFreeEnv(handles_.environment);
}

// Connections are kept apart by everything that SQLConnect is given.
std::string connection_key(const DatabaseRecord& record) {
  std::string key = record.dsn;
  key.append(1, '\0').append(record.user).append(1, '\0').append(record.password);
  return key;
}

bool InsertSession::connect(DatabaseRecord& record) {
  key_ = connection_key(record);
  OdbcConnection kept = kept_.take(key_);
  if (kept.connection != SQL_NULL_HDBC) {
    handles_.environment = kept.environment;
    handles_.connection = kept.connection;
    connected_ = true;
    trace("VLSQL: Allocating Database Statement..\n");
    return checked(odbc_.SQLAllocStmt(handles_.connection, &handles_.statement));
  }
  trace("VLSQL: Allocating Environment..\n");
  if (!checked(odbc_.SQLAllocEnv(&handles_.environment))) return false;
  trace("VLSQL: Allocating Connection..\n");
  if (!checked(odbc_.SQLAllocConnect(handles_.environment, &handles_.connection))) return false;
  trace("VLSQL: Connecting to Database..\n");
  SQLRETURN code =
      odbc_.SQLConnect(handles_.connection, odbc_text(record.dsn), SQL_NTS, odbc_text(record.user),
                       SQL_NTS, odbc_text(record.password), SQL_NTS);
  connected_ = succeeded(code);
  if (!checked(code)) return false;
  trace("VLSQL: Allocating Database Statement..\n");
  return checked(odbc_.SQLAllocStmt(handles_.connection, &handles_.statement));
}

bool InsertSession::prepare(std::string& statement) {
  log_event(context_, 15, "VLSQL: Forming Statement: \"%s\"\n", statement.c_str());
  trace("VLSQL: Preparing to Run Statement..");
  return checked(odbc_.SQLPrepare(handles_.statement, odbc_text(statement), SQL_NTS));
}

bool InsertSession::bind(DatabaseRecord& record) {
  indicators_.assign(record.columns.size(), SQL_NTS);
  for (std::size_t i = 0; i < record.columns.size(); ++i) {
    DatabaseColumn& column = record.columns[i];
    int number = static_cast<int>(i) + 1;
    log_event(context_, 15, "VLSQL: Binding Parameter %d (%s)..\n", number, column.name.c_str());
    SQLRETURN code = odbc_.SQLBindParameter(handles_.statement, static_cast<SQLUSMALLINT>(number),
                                            SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 0, 0,
                                            column.value.data(), 0, &indicators_[i]);
    if (!checked(code)) return false;
  }
  return true;
}

bool InsertSession::execute() {
  trace("VLSQL: Executing Statement..\n");
  return checked(odbc_.SQLExecute(handles_.statement));
}

bool InsertSession::release() {
  trace("VLSQL: Freeing Statement Handle..\n");
  SQLRETURN code = odbc_.SQLFreeStmt(handles_.statement, SQL_DROP);
  if (succeeded(code)) handles_.statement = SQL_NULL_HSTMT;
  if (!checked(code)) return false;
  if (kept_.keeps_connections()) {
    kept_.give_back(key_, {&odbc_, handles_.environment, handles_.connection});
    handles_ = {};
    connected_ = false;
    return true;
  }
  trace("VLSQL: Disconnecting from Database..\n");
  code = odbc_.SQLDisconnect(handles_.connection);
  if (succeeded(code)) connected_ = false;
  if (!checked(code)) return false;
  trace("VLSQL: Freeing Connection Handle..\n");
  code = odbc_.SQLFreeConnect(handles_.connection);
  if (succeeded(code)) handles_.connection = SQL_NULL_HDBC;
  if (!checked(code)) return false;
  trace("VLSQL: Freeing Environment Handle..\n");
  code = odbc_.SQLFreeEnv(handles_.environment);
  if (succeeded(code)) handles_.environment = SQL_NULL_HENV;
  return checked(code);
}

}  // namespace

bool insert_database_record(Run& run) {
  if (!run.request.field_is_set("TEMPLATE_DATABASE")) return true;
  ActionRecord outcome(run, "database");
  const std::string& template_path = run.templates.database_template;
  if (!can_open_for_reading(template_path)) {
    log_event(run.message, 1, "Could not open Database Template File: %s\n", template_path.c_str());
    return false;
  }
  DatabaseRecord record =
      read_database_record(run.site.settings_files(), template_path, run.request);
  std::string statement = build_insert_statement(record);
  if (auto refusal = insert_limit_exceeded(record, statement)) {
    log_event(run.message, 1, "%s", refusal->c_str());
    return false;
  }
  std::string load_error;
  const OdbcApi* odbc = odbc_api(&load_error);
  if (!odbc) {
    log_event(run.message, 1, "VLSQL: ODBC driver manager not available (%s)\n",
              load_error.c_str());
    return false;
  }
  InsertSession session(*odbc, run.message, run.site.database_connections());
  return outcome.finish(session.connect(record) && session.prepare(statement) &&
                            session.bind(record) && session.execute() && session.release(),
                        "row inserted");
}
