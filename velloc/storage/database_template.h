// The row that a form's database template describes: where to connect, which
// table, and each column with the value taken from the form. Read once per
// insert, before the database is touched; the record owns copies of all its
// texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ini_file.h"
#include "velloc/request/cgi_request.h"

struct DatabaseColumn {
  std::string name;
  std::string value;
};

struct DatabaseRecord {
  std::string dsn;
  std::string user;
  std::string password;
  std::string table;
  std::vector<DatabaseColumn> columns;
};

// Limits of one insert; a record beyond them is refused rather than cut.
inline constexpr std::size_t kMaxInsertColumns = 30;
inline constexpr std::size_t kMaxColumnName = 254;
inline constexpr std::size_t kMaxColumnValue = 3999;
inline constexpr std::size_t kMaxStatement = 2499;

// Reads [DATABASE] DSN, USER, PASSWORD, TABLE and the table's section from the
// template at `path`, and takes each column's value from the form field that
// the column's key names (empty text when the key or the field is missing).
DatabaseRecord read_database_record(platform::IniFiles& ini, const std::string& path,
                                    const CgiRequest& request);

// Column names cut at "," and " " characters; runs count as one separator.
std::vector<std::string> split_column_names(std::string_view list);

// "INSERT INTO <table> (<a>, <b>) VALUES ( ?,  ?)".
std::string build_insert_statement(const DatabaseRecord& record);

// The log message (type 1, with its line end) naming the first limit that the
// record or its statement passes; nullopt when it keeps within all of them.
std::optional<std::string> insert_limit_exceeded(const DatabaseRecord& record,
                                                 const std::string& statement);
