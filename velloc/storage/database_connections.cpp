#include "velloc/storage/database_connections.h"

#include "velloc/storage/odbc_library.h"

void release_odbc_connection(const OdbcConnection& connection) {
  if (!connection.odbc) return;
  const OdbcApi& odbc = *connection.odbc;
  if (connection.connection != SQL_NULL_HDBC) {
    odbc.SQLDisconnect(connection.connection);
    odbc.SQLFreeConnect(connection.connection);
  }
  if (connection.environment != SQL_NULL_HENV) odbc.SQLFreeEnv(connection.environment);
}

DatabaseConnections::~DatabaseConnections() { trim(0); }

void DatabaseConnections::keep_at_most(std::size_t most) {
  most_ = most;
  trim(most_);
}

OdbcConnection DatabaseConnections::take(const std::string& key) {
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (it->key != key) continue;
    OdbcConnection connection = it->connection;
    kept_.erase(it);
    return connection;
  }
  return {};
}

void DatabaseConnections::give_back(const std::string& key, const OdbcConnection& connection) {
  if (most_ == 0) {
    release_odbc_connection(connection);
    return;
  }
  kept_.push_back({key, connection});
  trim(most_);
}

void DatabaseConnections::trim(std::size_t most) {
  std::size_t excess = kept_.size() > most ? kept_.size() - most : 0;
  for (std::size_t i = 0; i < excess; ++i) release_odbc_connection(kept_[i].connection);
  kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(excess));
}
