// The database insert against the real SQLite ODBC driver, through a data
// source defined in a temporary odbc.ini.
#include "velloc/database_insert.h"

#include <gtest/gtest.h>
#include <sqlext.h>
#include <stdlib.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/run.h"

namespace {

using testing_support::TempDir;

constexpr char kSqliteDriver[] =
    "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
constexpr char kDsn[] = "velloc_orders";

using Rows = std::vector<std::vector<std::string>>;

// A few ODBC calls of the test's own, to set up tables and read rows back.
class TestConnection {
 public:
  explicit TestConnection(const std::string& dsn) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::string name = dsn;
    SQLRETURN code = SQLConnect(dbc_, reinterpret_cast<SQLCHAR*>(name.data()),
                                SQL_NTS, nullptr, 0, nullptr, 0);
    connected_ = SQL_SUCCEEDED(code);
  }
  ~TestConnection() {
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  bool connected() const { return connected_; }

  bool execute(std::string sql) {
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    SQLRETURN code =
        SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return SQL_SUCCEEDED(code);
  }

  // Every row of the query, NULL shown as "<null>".
  Rows query(std::string sql) {
    Rows rows;
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS);
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
      std::vector<std::string>& row = rows.emplace_back();
      for (SQLUSMALLINT c = 1; c <= columns; ++c) {
        char value[8192] = {};
        SQLLEN length = 0;
        SQLGetData(stmt, c, SQL_C_CHAR, value, sizeof value, &length);
        row.push_back(length == SQL_NULL_DATA ? "<null>" : value);
      }
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return rows;
  }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

// The log's messages with the "[date|time|pid] " prefixes taken out.
std::string log_messages(const std::string& log) {
  static const std::regex prefix(
      R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|\d{5,}\] )");
  return std::regex_replace(log, prefix, "");
}

// The driver manager caches odbc.ini for the life of the process, so every test
// of this binary shares one data source and database file, made on first use.
const TempDir& odbc_environment() {
  static TempDir dir;
  static const bool ready = [] {
    dir.write("odbcinst.ini",
              std::string("[SQLite3]\nDriver=") + kSqliteDriver + "\n");
    dir.write("odbc.ini", std::string("[") + kDsn +
                              "]\nDriver=SQLite3\nDatabase=" +
                              dir.file("orders.db") + "\nTimeout=5000\n");
    setenv("ODBCSYSINI", dir.path().c_str(), 1);
    setenv("ODBCINI", dir.file("odbc.ini").c_str(), 1);
    return true;
  }();
  (void)ready;
  return dir;
}

class DatabaseInsertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    odbc_environment();
    TestConnection connection(kDsn);
    ASSERT_TRUE(connection.connected());
    connection.execute("DROP TABLE IF EXISTS Orders");
    connection.execute("DROP TABLE IF EXISTS Strict");
    ASSERT_TRUE(
        connection.execute("CREATE TABLE Orders (CustName TEXT, Qty TEXT, "
                           "Colour TEXT, Note TEXT)"));
    run_.message.log_file = dir_.file("velloc.log");
    run_.message.log_level = 15;
    run_.request.set_field("TEMPLATE_DATABASE", "orders.ini");
    run_.templates.database_template = dir_.file("orders.ini");
  }

  void write_template(const std::string& table_section,
                      const std::string& dsn = kDsn) {
    dir_.write("orders.ini", "[DATABASE]\nDSN=" + dsn +
                                 "\nUSER=\nPASSWORD=\nTABLE=Orders\n" +
                                 table_section);
  }
  void set_fields(const std::string& form_data) {
    parse_form_data(form_data, ", ", run_.request.fields);
  }
  Rows rows() { return TestConnection(kDsn).query("SELECT * FROM Orders"); }
  std::string log() { return log_messages(dir_.read("velloc.log")); }

  TempDir dir_;
  std::ostringstream response_;
  ::Run run_{response_};
};

TEST_F(DatabaseInsertTest,
       InsertsTheMappedFieldsWithEmptyStringsForWhatIsMissing) {
  write_template(
      "[Orders]\nFIELDS=CustName, Qty,Colour  "
      "Note\nCustName=NAME\nQty=QUANTITY\n"
      "Colour=COLOUR\n");
  set_fields("NAME=O%27Brien%3B+DROP+TABLE+Orders&COLOUR=red&COLOUR=blue");
  EXPECT_TRUE(insert_database_record(run_));
  EXPECT_EQ(Rows({{"O'Brien; DROP TABLE Orders", "", "red, blue", ""}}),
            rows());
  EXPECT_EQ("", response_.str());
}

TEST_F(DatabaseInsertTest, TraceOfASuccessfulInsertAtLevel15) {
  write_template(
      "[Orders]\nFIELDS=CustName,Qty\nCustName=NAME\nQty=QUANTITY\n");
  set_fields("NAME=Ann&QUANTITY=3");
  EXPECT_TRUE(insert_database_record(run_));
  EXPECT_EQ(
      "VLSQL: Allocating Environment..\nSuccess Value: (0)\n"
      "VLSQL: Allocating Connection..\nSuccess Value: (0)\n"
      "VLSQL: Connecting to Database..\nSuccess Value: (0)\n"
      "VLSQL: Allocating Database Statement..\nSuccess Value: (0)\n"
      "VLSQL: Forming Statement: \"INSERT INTO Orders (CustName, Qty) VALUES ( "
      "?,  ?)\"\n"
      "VLSQL: Preparing to Run Statement..Success Value: (0)\n"
      "VLSQL: Binding Parameter 1 (CustName)..\nSuccess Value: (0)\n"
      "VLSQL: Binding Parameter 2 (Qty)..\nSuccess Value: (0)\n"
      "VLSQL: Executing Statement..\nSuccess Value: (0)\n"
      "VLSQL: Freeing Statement Handle..\nSuccess Value: (0)\n"
      "VLSQL: Disconnecting from Database..\nSuccess Value: (0)\n"
      "VLSQL: Freeing Connection Handle..\nSuccess Value: (0)\n"
      "VLSQL: Freeing Environment Handle..\nSuccess Value: (0)\n",
      log());
  EXPECT_EQ(Rows({{"Ann", "3", "<null>", "<null>"}}), rows());
}

TEST_F(DatabaseInsertTest, SuccessAtLevel1LogsNothing) {
  run_.message.log_level = 1;
  write_template("[Orders]\nFIELDS=CustName\nCustName=NAME\n");
  set_fields("NAME=Ann");
  EXPECT_TRUE(insert_database_record(run_));
  EXPECT_EQ("", log());
  EXPECT_EQ(1u, rows().size());
}

TEST_F(DatabaseInsertTest, UnknownDataSourceLogsOneDatabaseErrorAtLevel1) {
  run_.message.log_level = 1;
  write_template("[Orders]\nFIELDS=CustName\nCustName=NAME\n",
                 "no_such_source");
  EXPECT_FALSE(insert_database_record(run_));
  EXPECT_EQ(
      "Database Error:IM002:  [unixODBC][Driver Manager]Data source name not "
      "found and no "
      "default driver specified\n",
      log());
}

TEST_F(DatabaseInsertTest, MissingDatabaseSectionFailsAtTheConnection) {
  run_.message.log_level = 1;
  dir_.write("orders.ini", "[Orders]\nFIELDS=CustName\n");
  EXPECT_FALSE(insert_database_record(run_));
  EXPECT_EQ(0u, log().find("Database Error:"));
}

// SQLite reports these when the statement runs; other drivers may already
// refuse it when preparing. Either way nothing after the failing call is
// attempted.
TEST_F(DatabaseInsertTest,
       RefusalsOfTheDataSourceStopTheInsertWithItsDiagnostics) {
  struct Case {
    std::string template_text;
    std::string form_data;
    std::string diagnostic;
  };
  ASSERT_TRUE(
      TestConnection(kDsn).execute("CREATE TABLE Strict (n INTEGER) STRICT"));
  const std::string database = std::string("[DATABASE]\nDSN=") + kDsn + "\n";
  const Case cases[] = {
      {database + "TABLE=Orders\n[Orders]\nFIELDS=Nope\nNope=NAME\n", "",
       "table Orders has no column named Nope"},
      {database + "TABLE=Orders\n[Orders]\nFIELDS=\n", "", "syntax error"},
      {database + "TABLE=Missing\n[Missing]\nFIELDS=a\n", "",
       "no such table: Missing"},
      {database + "TABLE=Strict\n[Strict]\nFIELDS=n\nn=N\n", "N=many",
       "cannot store TEXT value in INTEGER column Strict.n"},
  };
  for (const Case& c : cases) {
    std::remove(dir_.file("velloc.log").c_str());
    dir_.write("orders.ini", c.template_text);
    set_fields(c.form_data);
    EXPECT_FALSE(insert_database_record(run_));
    std::string text = log();
    std::size_t error = text.find("Database Error:");
    ASSERT_NE(std::string::npos, error) << text;
    EXPECT_NE(std::string::npos, text.find(c.diagnostic, error)) << text;
    EXPECT_EQ(std::string::npos, text.find("VLSQL: Freeing")) << text;
  }
  EXPECT_TRUE(rows().empty());
  EXPECT_TRUE(TestConnection(kDsn).query("SELECT * FROM Strict").empty());
}

TEST_F(DatabaseInsertTest, TemplateThatCannotBeOpened) {
  run_.templates.database_template = dir_.file("missing.ini");
  EXPECT_FALSE(insert_database_record(run_));
  run_.templates.database_template = "";
  EXPECT_FALSE(insert_database_record(run_));
  run_.templates.database_template = dir_.path();
  EXPECT_FALSE(insert_database_record(run_));
  EXPECT_EQ(
      "Could not open Database Template File: " + dir_.file("missing.ini") +
          "\nCould not open Database Template File: \n"
          "Could not open Database Template File: " +
          dir_.path() + "\n",
      log());
}

TEST_F(DatabaseInsertTest, BlankTemplateFieldDoesNothing) {
  run_.request.set_field("TEMPLATE_DATABASE", "");
  run_.templates.database_template = dir_.file("missing.ini");
  EXPECT_TRUE(insert_database_record(run_));
  EXPECT_FALSE(dir_.exists("velloc.log"));
}

TEST_F(DatabaseInsertTest, RecordsBeyondTheLimitsAreRefusedBeforeConnecting) {
  std::string many_columns;
  for (int i = 1; i <= 31; ++i) many_columns += "c" + std::to_string(i) + ",";
  std::string long_name(255, 'n');
  struct Case {
    std::string table_section;
    std::string form_data;
    std::string message;
  };
  const Case cases[] = {
      {"[Orders]\nFIELDS=" + many_columns + "\n", "",
       "VLSQL: Insert refused: more than 30 columns (31)\n"},
      {"[Orders]\nFIELDS=" + long_name + "\n", "",
       "VLSQL: Insert refused: a column name is longer than 254 characters\n"},
      {"[Orders]\nFIELDS=Note\nNote=NOTE\n", "NOTE=" + std::string(4000, 'x'),
       "VLSQL: Insert refused: the value of column Note is longer than 3999 "
       "characters\n"},
  };
  for (const Case& c : cases) {
    std::remove(dir_.file("velloc.log").c_str());
    write_template(c.table_section);
    set_fields(c.form_data);
    EXPECT_FALSE(insert_database_record(run_));
    EXPECT_EQ(c.message, log());
  }
  EXPECT_TRUE(rows().empty());
}

TEST_F(DatabaseInsertTest, ValueOfExactly3999CharactersIsInserted) {
  write_template("[Orders]\nFIELDS=Note\nNote=NOTE\n");
  std::string value(3999, 'x');
  set_fields("NOTE=" + value);
  EXPECT_TRUE(insert_database_record(run_));
  EXPECT_EQ(Rows({{"<null>", "<null>", "<null>", value}}), rows());
}

}  // namespace
