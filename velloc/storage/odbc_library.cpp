#include "velloc/storage/odbc_library.h"

#include <dlfcn.h>

#include "platform/shared_library.h"

namespace {

constexpr const char* kDriverManager = "libodbc.so.2";
// Drivers load the installer library themselves and would unload it (and the data
// source settings it caches) with each disconnect; held here, it stays for the run.
constexpr const char* kInstallerLibrary = "libodbcinst.so.2";

struct LoadedApi {
  OdbcApi api{};
  std::string error;  // empty when loaded
};

#define VELLOC_FIND(name) platform::find_function(library, #name, loaded.api.name, loaded.error)

LoadedApi load_api() {
  LoadedApi loaded;
  dlopen(kInstallerLibrary, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
  void* library = dlopen(kDriverManager, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
  if (!library) {
    loaded.error = platform::loader_error();
    return loaded;
  }
  VELLOC_FIND(SQLAllocEnv);
  VELLOC_FIND(SQLAllocConnect);
  VELLOC_FIND(SQLAllocStmt);
  VELLOC_FIND(SQLAllocHandle);
  VELLOC_FIND(SQLFreeEnv);
  VELLOC_FIND(SQLFreeConnect);
  VELLOC_FIND(SQLFreeStmt);
  VELLOC_FIND(SQLFreeHandle);
  VELLOC_FIND(SQLSetEnvAttr);
  VELLOC_FIND(SQLSetConnectAttr);
  VELLOC_FIND(SQLConnect);
  VELLOC_FIND(SQLDriverConnect);
  VELLOC_FIND(SQLDisconnect);
  VELLOC_FIND(SQLPrepare);
  VELLOC_FIND(SQLBindParameter);
  VELLOC_FIND(SQLExecute);
  VELLOC_FIND(SQLExecDirect);
  VELLOC_FIND(SQLRowCount);
  VELLOC_FIND(SQLFetch);
  VELLOC_FIND(SQLGetData);
  VELLOC_FIND(SQLCloseCursor);
  VELLOC_FIND(SQLEndTran);
  VELLOC_FIND(SQLError);
  VELLOC_FIND(SQLGetDiagRec);
  VELLOC_FIND(SQLGetInfo);
  VELLOC_FIND(SQLNumResultCols);
  VELLOC_FIND(SQLDataSources);
  return loaded;
}

#undef VELLOC_FIND

}  // namespace

const OdbcApi* odbc_api(std::string* error) {
  static const LoadedApi loaded = load_api();
  if (!loaded.error.empty()) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}
