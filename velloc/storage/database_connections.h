// The database connections a process keeps between the rows it inserts, one per
// data source, user and password, and only a few at a time. A connection is
// handed out for one insert and given back when it succeeded; one that failed is
// released instead, so the next insert connects again.
#pragma once

#include <sql.h>

#include <cstddef>
#include <string>
#include <vector>

struct OdbcApi;

// An environment and a connected connection handle, ready for statements.
struct OdbcConnection {
  const OdbcApi* odbc = nullptr;
  SQLHENV environment = SQL_NULL_HENV;
  SQLHDBC connection = SQL_NULL_HDBC;
};

// Disconnects and frees the handles, without logging; a null handle is skipped.
void release_odbc_connection(const OdbcConnection& connection);

class DatabaseConnections {
 public:
  // `most` connections are kept; 0 keeps none, for a process of one request.
  explicit DatabaseConnections(std::size_t most = 0) : most_(most) {}
  ~DatabaseConnections();
  DatabaseConnections(const DatabaseConnections&) = delete;
  DatabaseConnections& operator=(const DatabaseConnections&) = delete;

  void keep_at_most(std::size_t most);
  bool keeps_connections() const { return most_ > 0; }
  std::size_t kept() const { return kept_.size(); }

  // The connection kept for `key`, now taken out of the pool; an empty one
  // (null handles) when none is kept.
  OdbcConnection take(const std::string& key);
  // Gives a connection that served its insert without a failure back; the one
  // used longest ago is released when more than `most` would be kept.
  void give_back(const std::string& key, const OdbcConnection& connection);

 private:
  struct Kept {
    std::string key;
    OdbcConnection connection;
  };
  void trim(std::size_t most);

  std::size_t most_;
  std::vector<Kept> kept_;  // the one used last at the back
};
