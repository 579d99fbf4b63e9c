// The ODBC driver manager, loaded on first use rather than at start-up, so that a
// run which inserts no row never pays for it. Every ODBC call of the program goes
// through the table below, whose members carry the names of the functions.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>

struct OdbcApi {
  decltype(&::SQLAllocEnv) SQLAllocEnv;
  decltype(&::SQLAllocConnect) SQLAllocConnect;
  decltype(&::SQLAllocStmt) SQLAllocStmt;
  decltype(&::SQLAllocHandle) SQLAllocHandle;
  decltype(&::SQLFreeEnv) SQLFreeEnv;
  decltype(&::SQLFreeConnect) SQLFreeConnect;
  decltype(&::SQLFreeStmt) SQLFreeStmt;
  decltype(&::SQLFreeHandle) SQLFreeHandle;
  decltype(&::SQLSetEnvAttr) SQLSetEnvAttr;
  decltype(&::SQLSetConnectAttr) SQLSetConnectAttr;
  decltype(&::SQLConnect) SQLConnect;
  decltype(&::SQLDriverConnect) SQLDriverConnect;
  decltype(&::SQLDisconnect) SQLDisconnect;
  decltype(&::SQLPrepare) SQLPrepare;
  decltype(&::SQLBindParameter) SQLBindParameter;
  decltype(&::SQLExecute) SQLExecute;
  decltype(&::SQLExecDirect) SQLExecDirect;
  decltype(&::SQLRowCount) SQLRowCount;
  decltype(&::SQLFetch) SQLFetch;
  decltype(&::SQLGetData) SQLGetData;
  decltype(&::SQLCloseCursor) SQLCloseCursor;
  decltype(&::SQLEndTran) SQLEndTran;
  decltype(&::SQLError) SQLError;
  decltype(&::SQLGetDiagRec) SQLGetDiagRec;
  decltype(&::SQLGetInfo) SQLGetInfo;
  decltype(&::SQLNumResultCols) SQLNumResultCols;
  decltype(&::SQLDataSources) SQLDataSources;
};

// The driver manager's functions, loaded once per process and kept until it ends.
// Null when libodbc.so.2 cannot be loaded or lacks one of them; `error` (when given)
// then receives the loader's text, on this and every later call.
const OdbcApi* odbc_api(std::string* error);
