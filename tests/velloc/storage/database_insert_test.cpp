// The database insert against the real SQLite ODBC driver, through a data
// source defined in a temporary odbc.ini.
#include "velloc/storage/database_insert.h"

#include <gtest/gtest.h>
#include <sqlext.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"
#include "velloc/process_facts.h"
#include "velloc/run.h"

namespace {

using testing_support::TempDir;

constexpr char kSqliteDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
constexpr char kDsn[] = "velloc_orders";

// A few ODBC calls of the test's own, to set up tables and read rows back.
class TestConnection {
 public:
  TestConnection() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::string name = kDsn;
    connected_ = SQL_SUCCEEDED(
        SQLConnect(dbc_, reinterpret_cast<SQLCHAR*>(name.data()), SQL_NTS, nullptr, 0, nullptr, 0));
  }
  ~TestConnection() {
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  bool connected() const { return connected_; }

  // Runs the statement; the rows it gives, their values "|"-separated and NULL
  // shown as "<null>".
  std::vector<std::string> query(std::string sql) {
    std::vector<std::string> rows;
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS);
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    while (columns > 0 && SQL_SUCCEEDED(SQLFetch(stmt))) {
      std::string& row = rows.emplace_back();
      for (SQLUSMALLINT c = 1; c <= columns; ++c) {
        char value[8192] = {};
        SQLLEN length = 0;
        SQLGetData(stmt, c, SQL_C_CHAR, value, sizeof value, &length);
        row.append(c > 1 ? "|" : "").append(length == SQL_NULL_DATA ? "<null>" : value);
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

// The driver manager caches odbc.ini for the life of the process, so every test
// of this binary shares one data source and database file, made on first use.
void make_data_source() {
  static TempDir dir;
  static const bool ready = [] {
    dir.write("odbcinst.ini", std::string("[SQLite3]\nDriver=") + kSqliteDriver + "\n");
    dir.write("odbc.ini", std::string("[") + kDsn + "]\nDriver=SQLite3\nDatabase=" +
                              dir.file("orders.db") + "\nTimeout=5000\n");
    setenv("ODBCSYSINI", dir.path().c_str(), 1);
    setenv("ODBCINI", dir.file("odbc.ini").c_str(), 1);
    return true;
  }();
  (void)ready;
}

class DatabaseInsertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_data_source();
    TestConnection connection;
    ASSERT_TRUE(connection.connected());
    connection.query("DROP TABLE IF EXISTS Orders");
    connection.query("DROP TABLE IF EXISTS Strict");
    connection.query("CREATE TABLE Orders (CustName TEXT, Qty TEXT, Colour TEXT, Note TEXT)");
    connection.query("CREATE TABLE Strict (n INTEGER) STRICT");
    run_.message.log_file = dir_.file("velloc.log");
    run_.message.log_level = 15;
    run_.request.set_field("TEMPLATE_DATABASE", "orders.ini");
    run_.templates.database_template = dir_.file("orders.ini");
  }
  // Runs one insert from a fresh log; its result.
  bool insert(const std::string& template_text, const std::string& form_data) {
    std::remove(dir_.file("velloc.log").c_str());
    run_.message.log = std::make_shared<LogFile>();  // a new run opens the log afresh
    dir_.write("orders.ini", template_text);
    site_.begin_request();
    parse_form_data(form_data, ", ", run_.request.fields);
    return insert_database_record(run_);
  }
  std::vector<std::string> rows() { return TestConnection().query("SELECT * FROM Orders"); }
  std::string log() { return testing_support::logged_messages(dir_.file("velloc.log")); }

  const std::string database_ = std::string("[DATABASE]\nDSN=") + kDsn + "\nTABLE=Orders\n";
  TempDir dir_;
  std::ostringstream response_;
  Site site_{read_process_facts()};
  ::Run run_{site_};
};

TEST_F(DatabaseInsertTest, InsertsTheMappedFieldsAndLogsNothingAtLevel1) {
  run_.message.log_level = 1;
  const std::string note(3999, 'x');
  EXPECT_TRUE(insert(database_ + "[Orders]\nFIELDS=CustName, Qty,Colour  Note\nCustName=NAME\n"
                                 "Qty=QUANTITY\nColour=COLOUR\nNote=NOTE\n",
                     "NAME=O%27Brien%3B+DROP+TABLE+Orders&COLOUR=red&COLOUR=blue&NOTE=" + note));
  EXPECT_EQ(std::vector<std::string>{"O'Brien; DROP TABLE Orders||red, blue|" + note}, rows());
  EXPECT_EQ("", log());
  EXPECT_EQ("", response_.str());
}

TEST_F(DatabaseInsertTest, TraceOfASuccessfulInsertAtLevel15) {
  EXPECT_TRUE(insert(database_ + "[Orders]\nFIELDS=CustName,Qty\nCustName=NAME\nQty=QUANTITY\n",
                     "NAME=Ann&QUANTITY=3"));
  EXPECT_EQ(
      "VLSQL: Allocating Environment..\nSuccess Value: (0)\n"
      "VLSQL: Allocating Connection..\nSuccess Value: (0)\n"
      "VLSQL: Connecting to Database..\nSuccess Value: (0)\n"
      "VLSQL: Allocating Database Statement..\nSuccess Value: (0)\n"
      "VLSQL: Forming Statement: \"INSERT INTO Orders (CustName, Qty) VALUES ( ?,  ?)\"\n"
      "VLSQL: Preparing to Run Statement..Success Value: (0)\n"
      "VLSQL: Binding Parameter 1 (CustName)..\nSuccess Value: (0)\n"
      "VLSQL: Binding Parameter 2 (Qty)..\nSuccess Value: (0)\n"
      "VLSQL: Executing Statement..\nSuccess Value: (0)\n"
      "VLSQL: Freeing Statement Handle..\nSuccess Value: (0)\n"
      "VLSQL: Disconnecting from Database..\nSuccess Value: (0)\n"
      "VLSQL: Freeing Connection Handle..\nSuccess Value: (0)\n"
      "VLSQL: Freeing Environment Handle..\nSuccess Value: (0)\n",
      log());
  EXPECT_EQ(std::vector<std::string>{"Ann|3|<null>|<null>"}, rows());
}

TEST_F(DatabaseInsertTest, UnknownDataSourceLogsOneDatabaseErrorAtLevel1) {
  run_.message.log_level = 1;
  EXPECT_FALSE(insert("[DATABASE]\nDSN=no_such_source\nTABLE=Orders\n[Orders]\nFIELDS=a\n", ""));
  EXPECT_EQ(
      "Database Error:IM002:  [unixODBC][Driver Manager]Data source name not found and no "
      "default driver specified\n",
      log());
}

// SQLite reports most of these when the statement runs; other drivers may refuse
// them when preparing. Either way nothing after the failing call is attempted.
TEST_F(DatabaseInsertTest, RefusalsOfTheDataSourceStopTheInsertWithItsDiagnostics) {
  const std::string dsn = std::string("[DATABASE]\nDSN=") + kDsn + "\n";
  const std::pair<std::string, std::string> cases[] = {
      {"[Orders]\nFIELDS=CustName\n", "IM002"},  // no database section
      {database_ + "[Orders]\nFIELDS=Nope\n", "table Orders has no column named Nope"},
      {database_ + "[Orders]\nFIELDS=\n", "syntax error"},
      {dsn + "TABLE=Missing\n[Missing]\nFIELDS=a\n", "no such table: Missing"},
      {dsn + "TABLE=Strict\n[Strict]\nFIELDS=n\nn=N\n",
       "cannot store TEXT value in INTEGER column Strict.n"},
  };
  for (const auto& [template_text, diagnostic] : cases) {
    EXPECT_FALSE(insert(template_text, "N=many"));
    std::string text = log();
    std::size_t error = text.find("Database Error:");
    ASSERT_NE(std::string::npos, error) << text;
    EXPECT_NE(std::string::npos, text.find(diagnostic, error)) << text;
    EXPECT_EQ(std::string::npos, text.find("VLSQL: Freeing")) << text;
  }
  EXPECT_TRUE(rows().empty());
  EXPECT_TRUE(TestConnection().query("SELECT * FROM Strict").empty());
}

// A Site that keeps connections connects once for a run of good inserts; a
// failed one drops the connection, and the next insert connects again.
TEST_F(DatabaseInsertTest, KeptConnectionIsReusedAndReopenedAfterAFailure) {
  site_.database_connections().keep_at_most(2);
  const std::string good = database_ + "[Orders]\nFIELDS=CustName\nCustName=NAME\n";
  const std::string failing =
      std::string("[DATABASE]\nDSN=") + kDsn + "\nTABLE=Missing\n[Missing]\nFIELDS=a\n";
  const struct {
    const std::string& template_text;
    bool inserted;
    bool connects;
    std::size_t kept_after;
  } steps[] = {
      {good, true, true, 1}, {good, true, false, 1}, {failing, false, false, 0},
      {good, true, true, 1}, {good, true, false, 1},
  };
  int step = 0;
  for (const auto& [template_text, inserted, connects, kept_after] : steps) {
    SCOPED_TRACE(++step);
    run_.request.set_field("NAME", "n" + std::to_string(step));
    EXPECT_EQ(inserted, insert(template_text, ""));
    std::string text = log();
    EXPECT_EQ(connects, text.find("VLSQL: Connecting to Database..") != std::string::npos) << text;
    EXPECT_EQ(std::string::npos, text.find("VLSQL: Disconnecting")) << text;
    EXPECT_EQ(kept_after, site_.database_connections().kept());
  }
  EXPECT_EQ((std::vector<std::string>{"n1|<null>|<null>|<null>", "n2|<null>|<null>|<null>",
                                      "n4|<null>|<null>|<null>", "n5|<null>|<null>|<null>"}),
            rows());
  site_.database_connections().keep_at_most(0);  // releases the one kept
  EXPECT_EQ(0u, site_.database_connections().kept());
}

TEST_F(DatabaseInsertTest, RecordsBeyondTheLimitsAreRefusedBeforeConnecting) {
  std::string many_columns;
  for (int i = 1; i <= 31; ++i) many_columns.append("c").append(std::to_string(i)).append(",");
  const std::pair<std::string, std::string> cases[] = {
      {"FIELDS=" + many_columns, "VLSQL: Insert refused: more than 30 columns (31)\n"},
      {"FIELDS=" + std::string(255, 'n'),
       "VLSQL: Insert refused: a column name is longer than 254 characters\n"},
      {"FIELDS=Note\nNote=NOTE",
       "VLSQL: Insert refused: the value of column Note is longer than 3999 characters\n"},
  };
  for (const auto& [table_section, message] : cases) {
    EXPECT_FALSE(
        insert(database_ + "[Orders]\n" + table_section + "\n", "NOTE=" + std::string(4000, 'x')));
    EXPECT_EQ(message, log());
  }
  EXPECT_TRUE(rows().empty());
}

TEST_F(DatabaseInsertTest, TemplateThatCannotBeOpened) {
  for (const std::string& path : {dir_.file("missing.ini"), std::string(), dir_.path()}) {
    run_.templates.database_template = path;
    EXPECT_FALSE(insert_database_record(run_));
  }
  EXPECT_EQ("Could not open Database Template File: " + dir_.file("missing.ini") +
                "\nCould not open Database Template File: \n"
                "Could not open Database Template File: " +
                dir_.path() + "\n",
            log());
  std::remove(dir_.file("velloc.log").c_str());
  run_.request.set_field("TEMPLATE_DATABASE", "");  // a blank field asks for no insert
  EXPECT_TRUE(insert_database_record(run_));
  EXPECT_FALSE(dir_.exists("velloc.log"));
}

}  // namespace
