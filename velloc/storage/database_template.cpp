#include "velloc/storage/database_template.h"

#include "platform/ini_file.h"
#include "platform/text.h"

namespace {

constexpr char kDatabaseSection[] = "DATABASE";

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) joined += separator;
    joined += parts[i];
  }
  return joined;
}

}  // namespace

std::vector<std::string> split_column_names(std::string_view list) {
  return platform::split_at(list, ", ");
}

DatabaseRecord read_database_record(platform::IniFiles& ini, const std::string& path,
                                    const CgiRequest& request) {
  DatabaseRecord record;
  record.dsn = ini.read_string(path, kDatabaseSection, "DSN", "");
  record.user = ini.read_string(path, kDatabaseSection, "USER", "");
  record.password = ini.read_string(path, kDatabaseSection, "PASSWORD", "");
  record.table = ini.read_string(path, kDatabaseSection, "TABLE", "");
  std::string fields = ini.read_string(path, record.table, "FIELDS", "");
  for (std::string& name : split_column_names(fields)) {
    std::string field_name = ini.read_string(path, record.table, name, "");
    record.columns.push_back({std::move(name), request.get_field(field_name)});
  }
  return record;
}

std::string build_insert_statement(const DatabaseRecord& record) {
  std::vector<std::string> names;
  std::vector<std::string> placeholders;
  for (const DatabaseColumn& column : record.columns) {
    names.push_back(column.name);
    placeholders.push_back(" ?");
  }
  return "INSERT INTO " + record.table + " (" + join(names, ", ") + ") VALUES (" +
         join(placeholders, ", ") + ")";
}

std::optional<std::string> insert_limit_exceeded(const DatabaseRecord& record,
                                                 const std::string& statement) {
  if (record.columns.size() > kMaxInsertColumns) {
    return "VLSQL: Insert refused: more than 30 columns (" + std::to_string(record.columns.size()) +
           ")\n";
  }
  for (const DatabaseColumn& column : record.columns) {
    if (column.name.size() > kMaxColumnName) {
      return "VLSQL: Insert refused: a column name is longer than 254 "
             "characters\n";
    }
    if (column.value.size() > kMaxColumnValue) {
      return "VLSQL: Insert refused: the value of column " + column.name +
             " is longer than 3999 characters\n";
    }
  }
  if (statement.size() > kMaxStatement) {
    return "VLSQL: Insert refused: the statement is longer than 2499 "
           "characters\n";
  }
  return std::nullopt;
}
