#include "velloc/storage/database_template.h"

#include <gtest/gtest.h>

#include "tests/support/cgi_runner.h"

namespace {

TEST(DatabaseTemplateTest, ColumnNamesAreSeparatedByCommasSpacesAndTheirRuns) {
  const std::pair<std::string, std::string> cases[] = {
      {"a,b", "a|b|"}, {"a ,  b", "a|b|"}, {", a,,b ,", "a|b|"}, {" , ", ""}, {"", ""}};
  for (const auto& [text, expected] : cases) {
    std::string joined;
    for (const std::string& name : split_column_names(text)) joined += name + "|";
    EXPECT_EQ(expected, joined) << text;
  }
}

TEST(DatabaseTemplateTest, PlaceholdersAfterTheFirstHaveACommaAndTwoSpaces) {
  DatabaseRecord record;
  record.table = "T";
  record.columns = {{"One", ""}, {"Two", ""}, {"Three", ""}};
  EXPECT_EQ("INSERT INTO T (One, Two, Three) VALUES ( ?,  ?,  ?)", build_insert_statement(record));
}

TEST(DatabaseTemplateTest, EachLimitIsInclusiveAndNamed) {
  DatabaseRecord record;
  record.table = "T";
  record.columns.assign(30, {"c", ""});
  record.columns[0].name = std::string(254, 'n');
  record.columns[1].value = std::string(3999, 'v');
  EXPECT_EQ(std::nullopt, insert_limit_exceeded(record, std::string(2499, 's')));
  EXPECT_EQ("VLSQL: Insert refused: the statement is longer than 2499 characters\n",
            insert_limit_exceeded(record, std::string(2500, 's')));
  record.columns[1].value += "v";
  EXPECT_EQ("VLSQL: Insert refused: the value of column c is longer than 3999 characters\n",
            insert_limit_exceeded(record, ""));
  record.columns[0].name += "n";
  EXPECT_EQ("VLSQL: Insert refused: a column name is longer than 254 characters\n",
            insert_limit_exceeded(record, ""));
  record.columns.push_back({"c", ""});
  EXPECT_EQ("VLSQL: Insert refused: more than 30 columns (31)\n",
            insert_limit_exceeded(record, ""));
}

TEST(DatabaseTemplateTest, EachColumnTakesItsValueFromTheFieldItsKeyNames) {
  testing_support::TempDir dir;
  dir.write("db.ini",
            "[database]\ndsn=Shop\nUser=ann\nPASSWORD=secret\nTABLE=Orders\n"
            "[orders]\nFields=CustName Qty,Missing\ncustname=name\nQty=QUANTITY\n");
  CgiRequest request;
  request.set_field("NAME", "Ann");
  platform::IniFiles ini;
  DatabaseRecord record = read_database_record(ini, dir.file("db.ini"), request);
  std::string columns;
  for (const auto& column : record.columns) columns += column.name + "=" + column.value + "|";
  EXPECT_EQ(
      "Shop|ann|secret|Orders|CustName=Ann|Qty=|Missing=|",
      record.dsn + "|" + record.user + "|" + record.password + "|" + record.table + "|" + columns);
}

}  // namespace
