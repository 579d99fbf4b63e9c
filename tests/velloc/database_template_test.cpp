#include "velloc/database_template.h"

#include <gtest/gtest.h>

#include "tests/support/cgi_runner.h"

namespace {

using Names = std::vector<std::string>;

TEST(SplitColumnNamesTest, CommasSpacesAndTheirRunsSeparate) {
  EXPECT_EQ(Names({"a", "b"}), split_column_names("a,b"));
  EXPECT_EQ(Names({"a", "b"}), split_column_names("a, b"));
  EXPECT_EQ(Names({"a", "b"}), split_column_names("a ,  b"));
  EXPECT_EQ(Names({"a", "b"}), split_column_names(", a,,b ,"));
  EXPECT_EQ(Names(), split_column_names(""));
  EXPECT_EQ(Names(), split_column_names(" , "));
}

TEST(BuildInsertStatementTest,
     PlaceholdersAfterTheFirstHaveACommaAndTwoSpaces) {
  DatabaseRecord record;
  record.table = "T";
  record.columns = {{"One", ""}, {"Two", ""}, {"Three", ""}};
  EXPECT_EQ("INSERT INTO T (One, Two, Three) VALUES ( ?,  ?,  ?)",
            build_insert_statement(record));
  record.columns.clear();
  EXPECT_EQ("INSERT INTO T () VALUES ()", build_insert_statement(record));
}

TEST(InsertLimitsTest, EachLimitIsInclusiveAndNamed) {
  DatabaseRecord record;
  record.table = "T";
  for (int i = 0; i < 30; ++i) record.columns.push_back({"c", ""});
  record.columns[0].name = std::string(254, 'n');
  record.columns[1].value = std::string(3999, 'v');
  EXPECT_EQ(std::nullopt,
            insert_limit_exceeded(record, std::string(2499, 's')));
  EXPECT_EQ(
      "VLSQL: Insert refused: the statement is longer than 2499 characters\n",
      insert_limit_exceeded(record, std::string(2500, 's')));
  record.columns[1].value += "v";
  EXPECT_EQ(
      "VLSQL: Insert refused: the value of column c is longer than 3999 "
      "characters\n",
      insert_limit_exceeded(record, ""));
  record.columns[0].name += "n";
  EXPECT_EQ(
      "VLSQL: Insert refused: a column name is longer than 254 characters\n",
      insert_limit_exceeded(record, ""));
  record.columns.push_back({"c", ""});
  EXPECT_EQ("VLSQL: Insert refused: more than 30 columns (31)\n",
            insert_limit_exceeded(record, ""));
}

TEST(ReadDatabaseRecordTest, TakesEachColumnsValueFromTheFieldItsKeyNames) {
  testing_support::TempDir dir;
  dir.write(
      "db.ini",
      "[database]\ndsn=Shop\nUser=ann\nPASSWORD=secret\nTABLE=Orders\n"
      "[orders]\nFields=CustName Qty,Missing\ncustname=name\nQty=QUANTITY\n");
  CgiRequest request;
  request.set_field("NAME", "Ann");
  DatabaseRecord record = read_database_record(dir.file("db.ini"), request);
  EXPECT_EQ("Shop", record.dsn);
  EXPECT_EQ("ann", record.user);
  EXPECT_EQ("secret", record.password);
  EXPECT_EQ("Orders", record.table);
  ASSERT_EQ(3u, record.columns.size());
  EXPECT_EQ("CustName", record.columns[0].name);
  EXPECT_EQ("Ann", record.columns[0].value);
  EXPECT_EQ("Qty", record.columns[1].name);
  EXPECT_EQ("", record.columns[1].value);
  EXPECT_EQ("Missing", record.columns[2].name);
  EXPECT_EQ("", record.columns[2].value);
}

}  // namespace
