// What one velloc process keeps between the submissions it serves: the facts its
// entry point read about the process, the clock, the log sink, the settings files
// as last read, the state-store connection and, when it serves many requests, its
// database connections. The entry point owns the Site and hands it to every
// request; a Site serves one request at a time and outlives each of them.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/ini_file.h"
#include "platform/shared_once.h"
#include "platform/temp_file.h"
#include "platform/wakeup.h"
#include "velloc/archive/archive_store.h"
#include "velloc/check/settings_check.h"
#include "velloc/guard/state_store.h"
#include "velloc/language/catalogue_store.h"
#include "velloc/mail/smtp_pool.h"
#include "velloc/metrics/metrics_store.h"
#include "velloc/metrics/metrics_text.h"
#include "velloc/request/log_file.h"
#include "velloc/request/request_id.h"
#include "velloc/settings/site_settings.h"
#include "velloc/storage/database_connections.h"
#include "velloc/webhook/hanging_targets.h"

// The process's own environment, read once by the entry point; nothing below it
// reads the environment, the working directory or the host name itself.
struct ProcessFacts {
  std::string search_path;           // PATH, ":"-separated; empty when unset
  std::string temp_directory;        // TMPDIR (else "/tmp"), ending in "/"
  std::string working_directory;     // empty when it cannot be had
  std::string host_name;             // empty when it cannot be had
  std::string executable_directory;  // ending in "/"; "./" when it cannot be had
};

// For a process that serves many requests: a visitor who hangs up (SIGPIPE) or a
// write beyond the file-size limit (SIGXFSZ) fails that write instead of ending
// the process. Called by the entry point before the first request.
void ignore_signals_of_failed_writes();

class Site {
 public:
  // `temp_files`, when given, lists every temporary file of the process for the
  // entry point's cleanup after a termination signal; it must outlive the Site.
  explicit Site(ProcessFacts facts, platform::TempFileRegistry* temp_files = nullptr)
      : facts_(std::move(facts)), temp_files_(temp_files) {}
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const ProcessFacts& facts() const { return facts_; }
  platform::TempFileRegistry* temp_files() const { return temp_files_; }
  // The clock every unit of a request reads; the system's unless a test sets
  // another, which must outlive the Site.
  const platform::Clock& clock() const { return *clock_; }
  void set_clock(const platform::Clock& clock) { clock_ = &clock; }
  // The log file of the request being served, shared by its mail records: opened
  // at the first line a request logs and closed when the next request begins.
  const std::shared_ptr<LogFile>& log_sink() const { return log_sink_; }
  // The id of the next request, for its log lines.
  std::string next_request_id() { return request_ids_.next(); }
  // The settings file, the form profiles and the templates' .ini files.
  platform::IniFiles& settings_files() { return settings_files_; }
  // The typed settings of `file` (empty: none, the defaults), made once per version of
  // the file (and of the forms.d files beside it) as settings_files() holds it; the
  // files are looked at once a request (begin_request).
  std::shared_ptr<const settings::SiteSettings> site_settings(const std::string& file);

  // For a process that serves many requests: its settings never fall back to the
  // defaults for a moment. The settings file it found keeps its place in the search (see
  // request_settings_file), and it, the form profiles and the templates' .ini files keep
  // their last good contents while a changed version is still being written or not good
  // (IniFiles::keep_last_good_versions), and a changed version with an error that
  // `velloc --check` reports (check_settings_text) is not taken either; each version passed
  // over is logged once on the standard error. The check runs only on a changed version,
  // never per request. Called by the entry point before the first request.
  void keep_last_good_settings();
  // The table that makes the problems of a version logged by one worker of a server
  // only (the server's; it outlives the Site). Set before keep_last_good_settings.
  void share_once_with(platform::SharedOnce* once) { shared_once_ = once; }
  // The problems `velloc --check` finds in the versions of the settings files taken since
  // the last call (each version is checked once, when taken), for the run to log; then
  // forgotten. Always empty for a process of one request, whose run checks its files.
  std::vector<SettingsProblem> take_new_settings_problems() { return std::move(new_problems_); }
  bool keeps_last_good_settings() const { return keeps_last_good_settings_; }
  // The settings file in use and the search folder it was found in; empty until found.
  struct SettingsFileInUse {
    std::string directory;
    std::string file;
  };
  SettingsFileInUse& settings_file_in_use() { return settings_file_in_use_; }

  // Called before each request: the log file is closed, files changed since they
  // were read are read again when next used, and a state store or archive that
  // failed during the last request is closed with the connection both share, to be
  // opened again when next needed.
  void begin_request();

  // The store for `connection`, opened now unless the one kept is for the same
  // connection; nullptr with `*error` set when it cannot be opened.
  StateStore* state_store(const std::string& connection, std::string* error);
  // Marks the kept store as failed: the next request opens it again.
  void state_store_failed() { state_store_failed_ = true; }

  // The archive in the database of `connection`, kept as the state store is.
  ArchiveStore* archive_store(const std::string& connection, std::string* error);
  void archive_store_failed() { archive_store_failed_ = true; }

  // The database connections kept between requests. A Site keeps none unless its
  // entry point asks for some (keep_at_most): a process of one request then
  // disconnects at the end of each insert, as it always has.
  DatabaseConnections& database_connections() { return database_connections_; }

  // The outbox of the archive `settings` name, as it is now (outbox_summary); nullopt
  // with `*error` set when the store cannot be read (it is then opened anew next time).
  std::optional<std::vector<OutboxKind>> outbox(const settings::SiteSettings& settings,
                                                std::string* error);

  // The first kept settings file whose latest version was passed over (not whole, or
  // with an error), while the last good one serves; nullopt when none was.
  std::optional<std::string> settings_passed_over();

  // The metrics a server process counts into, and the gauges only its supervisor knows;
  // none for a process of one request (nothing to count across requests).
  void set_metrics(MetricsStore* store, std::function<MetricsGauges()> gauges) {
    metrics_ = store;
    metrics_gauges_ = std::move(gauges);
  }
  MetricsStore* metrics() const { return metrics_; }
  MetricsGauges metrics_gauges() const {
    return metrics_gauges_ ? metrics_gauges_() : MetricsGauges();
  }

  // The SMTP connections kept open between mails, for a process that sends many
  // (keep_smtp_connections, called by its entry point); null for a process of one
  // request, whose mails each open and close their own.
  SmtpPool* smtp_pool() const { return smtp_pool_.get(); }
  void keep_smtp_connections() { smtp_pool_ = std::make_unique<SmtpPool>(); }

  // The wake-up of the server's delivery work, which a run rings once a delivery it
  // queued is committed; none in a process of one request (a timer's --deliver sends).
  void set_delivery_wakeup(platform::Wakeup* wakeup) { delivery_wakeup_ = wakeup; }
  void delivery_queued() {
    if (delivery_wakeup_ != nullptr) delivery_wakeup_->ring();
  }

  // The webhook targets whose calls timed out lately.
  HangingTargets& hanging_webhook_targets() { return hanging_webhook_targets_; }

  // The message catalogues of the visitors' languages, read once per version.
  CatalogueStore& catalogues() { return catalogues_; }

 private:
  ProcessFacts facts_;
  platform::TempFileRegistry* temp_files_;
  const platform::Clock* clock_ = &platform::system_clock();
  std::shared_ptr<LogFile> log_sink_ = std::make_shared<LogFile>();
  RequestIds request_ids_;
  platform::IniFiles settings_files_;
  std::shared_ptr<const settings::SiteSettings> site_settings_;
  bool site_settings_current_ = false;  // looked at since the request began
  bool keeps_last_good_settings_ = false;
  platform::SharedOnce* shared_once_ = nullptr;
  std::vector<SettingsProblem> new_problems_;
  // The problems of the version of each file last checked, by the hash of its text.
  struct CheckedVersion {
    std::size_t text_hash = 0;
    std::optional<std::vector<SettingsProblem>> problems;
  };
  std::map<std::string, CheckedVersion> checked_versions_;
  SettingsFileInUse settings_file_in_use_;
  // The state store and the archive of one connection share it.
  std::shared_ptr<OdbcDatabase> state_database(const std::string& connection, std::string* error);

  std::shared_ptr<OdbcDatabase> state_database_;
  std::string state_database_connection_;
  std::unique_ptr<StateStore> state_store_;
  std::string state_connection_;
  bool state_store_failed_ = false;
  std::unique_ptr<ArchiveStore> archive_store_;
  std::string archive_connection_;
  bool archive_store_failed_ = false;
  DatabaseConnections database_connections_;
  HangingTargets hanging_webhook_targets_;
  CatalogueStore catalogues_;
  std::unique_ptr<SmtpPool> smtp_pool_;
  MetricsStore* metrics_ = nullptr;
  std::function<MetricsGauges()> metrics_gauges_;
  platform::Wakeup* delivery_wakeup_ = nullptr;
};
