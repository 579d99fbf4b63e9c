// One connection to an ODBC data source for the program's own tables: statements
// with text parameters, rows read as text, explicit transactions. Owns its
// handles; the driver manager it borrows (odbc_api) lives as long as the process.
// Not copyable; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct OdbcApi;

class OdbcDatabase {
 public:
  // Each column as text; NULL reads as the empty text.
  using Row = std::vector<std::string>;

  // Connects to the connection string (a DSN-less "DRIVER=...;..." text or
  // "DSN=...") with autocommit off. nullptr with `*error` set when it cannot.
  static std::unique_ptr<OdbcDatabase> open(const std::string& connection, std::string* error);

  ~OdbcDatabase();
  OdbcDatabase(const OdbcDatabase&) = delete;
  OdbcDatabase& operator=(const OdbcDatabase&) = delete;

  // Runs `sql`, the `?` bound to `parameters` in order; `*changed` (when given)
  // receives the rows it changed. False with `*error` set on failure.
  bool execute(const std::string& sql, const std::vector<std::string>& parameters,
               std::string* error, std::int64_t* changed = nullptr);
  // The same for a query: its rows are appended to `*rows`.
  bool query(const std::string& sql, const std::vector<std::string>& parameters,
             std::vector<Row>* rows, std::string* error);
  bool commit(std::string* error);
  void rollback();
  // Runs each statement on its own in autocommit mode, ignoring failures: tables
  // made while a concurrent process makes them too.
  void run_each_autocommitted(const std::vector<std::string>& statements);
  bool is_sqlite() const { return sqlite_; }
  bool is_postgresql() const { return postgresql_; }

 private:
  explicit OdbcDatabase(const OdbcApi& odbc) : odbc_(odbc) {}
  bool connect(const std::string& connection, std::string* error);
  // The driver's name of the database system, lower-cased; empty when not told.
  std::string dbms_name();
  bool run(const std::string& sql, const std::vector<std::string>& parameters,
           std::vector<Row>* rows, std::int64_t* changed, std::string* error);
  bool fetch_rows(void* statement, std::vector<Row>& rows);

  const OdbcApi& odbc_;
  void* environment_ = nullptr;
  void* connection_ = nullptr;
  bool connected_ = false;
  bool sqlite_ = false;
  bool postgresql_ = false;
};

// The names of the data sources the driver manager knows (the user's and the
// system's odbc.ini); nullopt when the driver manager cannot be loaded.
std::optional<std::vector<std::string>> odbc_data_source_names();
