#include "velloc/site.h"

#include <csignal>
#include <iostream>

#include "velloc/check/settings_check.h"
#include "velloc/storage/odbc_database.h"

void Site::keep_last_good_settings() {
  keeps_last_good_settings_ = true;
  // A changed version is checked before it is taken; the first one read is checked when
  // taken.
  auto check = [this](const std::string& file, std::string_view text) {
    checked_problems_ = check_settings_text(file, text, facts_.working_directory);
    checked_file_ = file;
    checked_text_ = text;
    return first_settings_error(checked_problems_);
  };
  auto taken = [this](const std::string& file, std::string_view text) {
    if (checked_file_ != file || checked_text_ != text)
      checked_problems_ = check_settings_text(file, text, facts_.working_directory);
    for (SettingsProblem& problem : checked_problems_) new_problems_.push_back(std::move(problem));
    checked_problems_.clear();
    checked_file_.clear();
    checked_text_.clear();
  };
  settings_files_.keep_last_good_versions(check, taken);
}

void Site::begin_request() {
  log_sink_->close();
  for (const std::string& line : settings_files_.refresh()) std::cerr << line << '\n';
  if (state_store_failed_ || archive_store_failed_) {
    state_store_.reset();
    archive_store_.reset();
    state_database_.reset();
  }
  state_store_failed_ = archive_store_failed_ = false;
}

std::shared_ptr<OdbcDatabase> Site::state_database(const std::string& connection,
                                                   std::string* error) {
  if (!state_database_ || state_database_connection_ != connection) {
    state_database_ = OdbcDatabase::open(connection, error);
    state_database_connection_ = connection;
  }
  return state_database_;
}

ArchiveStore* Site::archive_store(const std::string& connection, std::string* error) {
  if (archive_store_ && archive_connection_ == connection) return archive_store_.get();
  archive_store_.reset();
  archive_connection_ = connection;
  if (std::shared_ptr<OdbcDatabase> database = state_database(connection, error))
    archive_store_ = open_odbc_archive_store(connection, std::move(database));
  return archive_store_.get();
}

StateStore* Site::state_store(const std::string& connection, std::string* error) {
  if (state_store_ && state_connection_ == connection) return state_store_.get();
  state_store_.reset();
  state_connection_ = connection;
  if (std::shared_ptr<OdbcDatabase> database = state_database(connection, error))
    state_store_ = open_odbc_state_store(std::move(database));
  return state_store_.get();
}

void ignore_signals_of_failed_writes() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}
