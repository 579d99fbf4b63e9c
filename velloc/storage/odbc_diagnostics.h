// The one place where ODBC return codes and diagnostic records become the
// program's own results and log lines. Borrows the handles it is given; owns
// nothing.
#pragma once

#include <sql.h>

#include <string>

struct LogContext;
struct OdbcApi;

// The handles of one insert as they exist at a given moment; null when not (or
// no longer) allocated.
struct OdbcHandles {
  SQLHENV environment = SQL_NULL_HENV;
  SQLHDBC connection = SQL_NULL_HDBC;
  SQLHSTMT statement = SQL_NULL_HSTMT;
};

// Every diagnostic record that SQLError yields for the handles, each as
// "<state>:  <message>\n"; empty when the driver gives none.
std::string odbc_diagnostics(const OdbcApi& odbc, const OdbcHandles& handles);

// Every diagnostic record of one handle as "<state>: <message>", joined by "; ";
// "ODBC call failed" when the driver gives none. For errors handed to callers.
std::string odbc_diagnostic_records(const OdbcApi& odbc, SQLSMALLINT type, SQLHANDLE handle);

// Judges the return code of one ODBC call: success is logged at type 15 as
// "Success Value: (<code>)\n"; a failure logs "Database Error:" and the
// diagnostics at type 1 when there are any. True on success.
bool odbc_call_succeeded(const OdbcApi& odbc, const LogContext& context, SQLRETURN code,
                         const OdbcHandles& handles);
