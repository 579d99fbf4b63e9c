#include "velloc/archive/server_deliveries.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>

#include "platform/temp_file.h"
#include "velloc/archive/alerts.h"
#include "velloc/archive/archive_commands.h"
#include "velloc/archive/delivery_commands.h"
#include "velloc/archive/release.h"
#include "velloc/guard/state_store.h"
#include "velloc/request/event_log.h"
#include "velloc/settings/load_settings.h"
#include "velloc/storage/odbc_database.h"

namespace {

// The lines a sender wrote, to the log: what it did at `type`.
void log_lines(const LogContext& log, int type, const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("velloc: ")) line.erase(0, 8);
    if (!line.empty()) log_event(log, type, "Deliveries: %s\n", line.c_str());
  }
}

// The outbox at `now`, its alert sent when its condition changed; nullopt when the
// store fails, which the log tells.
std::optional<std::vector<OutboxKind>> look_at_outbox(ArchiveStore& store,
                                                      const AlertSettings& alerts, std::int64_t now,
                                                      const LogContext& log) {
  std::string error;
  std::optional<std::vector<OutboxKind>> outbox = store.outbox_summary(now, &error);
  if (!outbox) {
    log_event(log, 1, "The outbox cannot be read: %s\n", error.c_str());
  } else if (!check_outbox_alert(store, *outbox, alerts, now, log, &error)) {
    log_event(log, 1, "The outbox's alert state cannot be kept: %s\n", error.c_str());
  }
  return outbox;
}

// While the mail relay cannot be reached a sender leaves the mails due and tries the
// relay again after a pause that doubles from 1 s to at most 10 s; the webhook
// calls go on meanwhile. A relay that answers again ends the pause.
constexpr std::chrono::seconds kFirstRelayPause{1};
constexpr std::chrono::seconds kLongestRelayPause{10};

class RelayPause {
 public:
  using Clock = std::chrono::steady_clock;

  bool pausing() const { return Clock::now() < until_; }

  // After a round that tried the relay: whether it could be reached. Returns the
  // pause that starts now (zero when none does).
  std::chrono::seconds tried(bool unreachable) {
    if (!unreachable) {
      pause_ = std::chrono::seconds(0);
      return pause_;
    }
    pause_ = pause_ == std::chrono::seconds(0) ? kFirstRelayPause
                                               : std::min(2 * pause_, kLongestRelayPause);
    until_ = Clock::now() + pause_;
    return pause_;
  }

 private:
  std::chrono::seconds pause_{0};
  Clock::time_point until_;
};

// What tells a version of the settings file from the next: its inode, size and time.
std::string file_version(const std::string& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) return {};
  return std::to_string(status.st_ino) + " " + std::to_string(status.st_size) + " " +
         std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

}  // namespace

std::optional<std::vector<OutboxKind>> run_delivery_pass(const ProcessFacts& facts,
                                                         const std::function<bool()>& stop,
                                                         MetricsStore* metrics,
                                                         const DeliverySender& sender) {
  std::string file = find_settings_file(facts);
  std::string version = file_version(file);
  settings::SiteSettings settings = settings::read_site_settings(file);
  if (file.empty() || !settings.archive_anywhere) return std::nullopt;
  LogContext log;
  log.log_file = settings.log_file;
  log.log_level = settings.log_level;
  std::string connection = state_connection_string(settings.state_dsn, file);
  std::string error;
  std::shared_ptr<OdbcDatabase> database = OdbcDatabase::open(connection, &error);
  if (!database) {
    log_event(log, 1, "Deliveries not run: archive not available: %s\n", error.c_str());
    return std::nullopt;
  }
  std::unique_ptr<ArchiveStore> store = open_odbc_archive_store(connection, database);
  platform::TempFileRegistry temp_files;
  Site site(facts, &temp_files);
  site.keep_smtp_connections();
  site.set_metrics(metrics, {});
  auto ends = std::chrono::steady_clock::now() + kDeliveryPassTime;
  auto stopping = [&] { return stop() || std::chrono::steady_clock::now() >= ends; };
  bool first = sender.number == 0;
  // Looked at first too, so that slow sends do not hold up its alert.
  AlertSettings alerts = alert_settings(settings);
  if (first && alerts.any()) look_at_outbox(*store, alerts, site.clock().unix_milliseconds(), log);
  auto next_look = std::chrono::steady_clock::now() + kOutboxLook;
  auto look_now_and_then = [&] {
    if (!first || std::chrono::steady_clock::now() < next_look) return;
    next_look = std::chrono::steady_clock::now() + kOutboxLook;
    std::optional<std::vector<OutboxKind>> outbox =
        look_at_outbox(*store, alerts, site.clock().unix_milliseconds(), log);
    if (outbox && sender.outbox_seen) sender.outbox_seen(*outbox);
  };
  std::ostringstream out, err;
  auto write_log = [&] {
    log_lines(log, 5, out.str());
    log_lines(log, 1, err.str());
    out.str("");
    err.str("");
  };
  if (first) recover_submissions(site, *store, file, site.clock().unix_milliseconds(), out, err);
  with_delivery_settings(site, file, 30, "server", err, [&](const DeliverySettings& senders) {
    RelayPause relay_pause;
    // While paused, the webhook calls are looked for once a look, not at each wake-up.
    auto paused_round = std::chrono::steady_clock::now();
    for (;;) {
      auto between = [&] {
        look_now_and_then();
        return stopping() || file_version(file) != version;
      };
      RelayState relay{relay_pause.pausing()};
      bool tries_relay = !relay.unreachable;
      int status = kArchiveOk;
      if (tries_relay || std::chrono::steady_clock::now() >= paused_round) {
        paused_round = std::chrono::steady_clock::now() + kDeliveryLook;
        status = deliver_due(*store, senders, site.clock().unix_milliseconds(), between, out, err,
                             &relay);
      }
      if (tries_relay)
        if (std::chrono::seconds pause = relay_pause.tried(relay.unreachable); pause.count() > 0)
          out << "the mail relay cannot be reached: mails wait " << pause.count() << " s\n";
      write_log();
      // A pass sends with the settings it read: it ends when they change, so that the
      // next one reads them anew.
      if (status != kArchiveOk || sender.wakeup == nullptr || stopping() ||
          file_version(file) != version)
        return status;
      look_now_and_then();
      sender.wakeup->wait(kDeliveryLook);
    }
  });
  write_log();
  if (!first) return std::nullopt;
  return look_at_outbox(*store, alerts, site.clock().unix_milliseconds(), log);
}

OutboxSummary outbox_status(const std::vector<OutboxKind>& outbox) {
  OutboxSummary summary;
  std::int64_t oldest_ms = 0;
  for (const OutboxKind& kind : outbox) {
    summary.items += kind.due + kind.waiting + kind.claimed;
    oldest_ms = std::max(oldest_ms, kind.oldest_due_ms);
  }
  summary.oldest = std::chrono::seconds(oldest_ms / 1000);
  return summary;
}
