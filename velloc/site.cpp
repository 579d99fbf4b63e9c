#include "velloc/site.h"

#include <csignal>
#include <functional>
#include <iostream>

#include "velloc/check/settings_check.h"
#include "velloc/settings/form_files.h"
#include "velloc/storage/odbc_database.h"

void Site::keep_last_good_settings() {
  keeps_last_good_settings_ = true;
  // A changed version is checked before it is taken, the first one read when taken;
  // a version read again while its times settle is not checked again.
  auto problems_of = [this](const std::string& file,
                            std::string_view text) -> const std::vector<SettingsProblem>& {
    std::size_t hash = std::hash<std::string_view>{}(text);
    CheckedVersion& checked = checked_versions_[file];
    if (!checked.problems || checked.text_hash != hash) {
      checked.text_hash = hash;
      checked.problems = check_settings_text(file, text, facts_.working_directory);
    }
    return *checked.problems;
  };
  auto check = [problems_of](const std::string& file, std::string_view text) {
    return first_settings_error(problems_of(file, text));
  };
  // The problems of a version taken replace those of an earlier one not yet logged.
  // Among a server's workers, only the first to take a version logs its problems.
  auto taken = [this, problems_of](const std::string& file, std::string_view text) {
    const std::vector<SettingsProblem>& problems = problems_of(file, text);
    std::erase_if(new_problems_, [&](const SettingsProblem& p) { return p.file == file; });
    std::uint64_t version = std::hash<std::string>{}(file + '\n' + std::string(text));
    if (problems.empty() || (shared_once_ && !shared_once_->first(version))) return;
    new_problems_.insert(new_problems_.end(), problems.begin(), problems.end());
  };
  settings_files_.keep_last_good_versions(check, taken);
}

std::shared_ptr<const settings::SiteSettings> Site::site_settings(const std::string& file) {
  // Looked at once a request: the files changed since are seen at the next one.
  if (site_settings_ && site_settings_->file == file && site_settings_current_)
    return site_settings_;
  site_settings_current_ = true;
  platform::IniSnapshot content =
      file.empty() ? platform::IniSnapshot() : settings_files_.snapshot(file);
  std::vector<platform::IniSnapshot> forms;
  for (const std::string& path : settings::form_files_beside(file))
    forms.push_back(settings_files_.snapshot(path));
  if (!site_settings_ || site_settings_->file != file ||
      !site_settings_->content.same_as(content) || site_settings_->form_files != forms)
    site_settings_ = std::make_shared<const settings::SiteSettings>(
        settings::read_site_settings(file, content, std::move(forms)));
  return site_settings_;
}

std::optional<std::vector<OutboxKind>> Site::outbox(const settings::SiteSettings& settings,
                                                    std::string* error) {
  ArchiveStore* store =
      archive_store(state_connection_string(settings.state_dsn, settings.file), error);
  if (store == nullptr) return std::nullopt;
  std::optional<std::vector<OutboxKind>> outbox =
      store->outbox_summary(clock().unix_milliseconds(), error);
  if (!outbox) archive_store_failed();
  return outbox;
}

std::optional<std::string> Site::settings_passed_over() {
  std::vector<std::string> files = settings_files_.passed_over();
  if (files.empty()) return std::nullopt;
  return files.front();
}

void Site::begin_request() {
  log_sink_->close();
  site_settings_current_ = false;
  catalogues_.begin_request();
  for (const std::string& line : settings_files_.refresh()) std::cerr << line << '\n';
  if (state_store_failed_ || archive_store_failed_) {
    state_store_.reset();
    archive_store_.reset();
    state_database_.reset();
  }
  state_store_failed_ = archive_store_failed_ = false;
  if (smtp_pool_) smtp_pool_->close_idle();
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
