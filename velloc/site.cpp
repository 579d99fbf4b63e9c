#include "velloc/site.h"

#include <csignal>

void Site::begin_request() {
  log_sink_->close();
  settings_files_.refresh();
  if (state_store_failed_) state_store_.reset();
  state_store_failed_ = false;
  if (archive_store_failed_) archive_store_.reset();
  archive_store_failed_ = false;
}

ArchiveStore* Site::archive_store(const std::string& connection, std::string* error) {
  if (archive_store_ && archive_connection_ == connection) return archive_store_.get();
  archive_store_ = open_odbc_archive_store(connection, error);
  archive_connection_ = connection;
  return archive_store_.get();
}

StateStore* Site::state_store(const std::string& connection, std::string* error) {
  if (state_store_ && state_connection_ == connection) return state_store_.get();
  state_store_ = open_odbc_state_store(connection, error);
  state_connection_ = connection;
  return state_store_.get();
}

void ignore_signals_of_failed_writes() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}
