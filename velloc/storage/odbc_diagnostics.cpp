#include "velloc/storage/odbc_diagnostics.h"

#include <sqlext.h>

#include "velloc/request/event_log.h"
#include "velloc/storage/odbc_library.h"

namespace {

constexpr SQLSMALLINT kMessageBufferLength = 511;
// SQLError consumes the records it returns; this only guards against a driver
// that never reports the end.
constexpr int kMaxDiagnosticRecords = 100;

bool diagnostics_continue(SQLRETURN code) {
  return code != SQL_NO_DATA_FOUND && code != SQL_INVALID_HANDLE && code != SQL_ERROR;
}

}  // namespace

std::string odbc_diagnostics(const OdbcApi& odbc, const OdbcHandles& handles) {
  std::string gathered;
  for (int record = 0; record < kMaxDiagnosticRecords; ++record) {
    SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
    SQLCHAR message[kMessageBufferLength] = {};
    SQLINTEGER native_error = 0;
    SQLSMALLINT message_length = 0;
    SQLRETURN code =
        odbc.SQLError(handles.environment, handles.connection, handles.statement, state,
                      &native_error, message, kMessageBufferLength, &message_length);
    if (!diagnostics_continue(code)) break;
    message[kMessageBufferLength - 1] = '\0';
    gathered += reinterpret_cast<const char*>(state);
    gathered += ":  ";
    gathered += reinterpret_cast<const char*>(message);
    gathered += "\n";
  }
  return gathered;
}

bool odbc_call_succeeded(const OdbcApi& odbc, const LogContext& context, SQLRETURN code,
                         const OdbcHandles& handles) {
  if (code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO) {
    log_event(context, 15, "Success Value: (%d)\n", static_cast<int>(code));
    return true;
  }
  std::string diagnostics = odbc_diagnostics(odbc, handles);
  if (!diagnostics.empty()) {
    log_event(context, 1, "%s%s", "Database Error:", diagnostics.c_str());
  }
  return false;
}

std::string odbc_diagnostic_records(const OdbcApi& odbc, SQLSMALLINT type, SQLHANDLE handle) {
  std::string text;
  for (SQLSMALLINT record = 1; record < 10; ++record) {
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN code =
        odbc.SQLGetDiagRec(type, handle, record, state, &native, message, sizeof message, &length);
    if (code != SQL_SUCCESS && code != SQL_SUCCESS_WITH_INFO) break;
    if (!text.empty()) text += "; ";
    text += reinterpret_cast<char*>(state);
    text += ": ";
    text += reinterpret_cast<char*>(message);
  }
  return text.empty() ? "ODBC call failed" : text;
}
