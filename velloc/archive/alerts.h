// Alerts through channels other than the notice mail: a delivery that ended failed
// or given up, and an outbox whose oldest due delivery waits too long (announced
// when it starts and when it ends). Each alert is posted as signed JSON to
// AlertWebhook and/or given to AlertCommand in its environment. Deciding an alert
// is pure; sending blocks for a bounded time and only logs what failed. Whoever
// records a delivery's end raises its alert, so each is raised once; the outbox's
// state lives in the archive, so that of several processes one announces a change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velloc/archive/archive_store.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/request/event_log.h"

namespace settings {
struct SiteSettings;
}

// Where alerts go, from the [Velloc] settings.
struct AlertSettings {
  std::string webhook;  // AlertWebhook; empty: none
  std::string secret;   // AlertWebhookSecret, else WebhookSecret; empty: unsigned
  std::string command;  // AlertCommand; empty: none
  int outbox_minutes = 15;
  std::string ca_file;  // HTTP_CA_FILE
  bool any() const { return !webhook.empty() || !command.empty(); }
};
AlertSettings alert_settings(const settings::SiteSettings& site);

// The events: "delivery_failed", "delivery_given_up", "outbox_too_old",
// "outbox_recovered".
struct Alert {
  std::string event;
  std::int64_t time = 0;  // Unix seconds
  std::string submission;
  std::string delivery;
  std::string reason;
};

// The alert of a delivery whose `attempt` ended it as `decision` says; nullopt
// unless it ended failed. Its reason names the delivery, the attempt's result and
// what the other side answered.
std::optional<Alert> delivery_alert(const Delivery& delivery, const AttemptDecision& decision,
                                    const DeliveryAttempt& attempt);

// True when a kind's oldest due delivery has been due for longer than `minutes`.
bool outbox_too_old(const std::vector<OutboxKind>& outbox, int minutes);

// The alert that the outbox's condition changing to `too_old` at `now`
// (milliseconds) announces.
Alert outbox_alert(const std::vector<OutboxKind>& outbox, bool too_old, int minutes,
                   std::int64_t now);

// The webhook's body: {"event":..,"time":"<UTC>","submission":..,"delivery":..,"reason":..}.
std::string alert_json(const Alert& alert);
// The command's environment: PATH, then VELLOC_ALERT_EVENT, _TIME, _SUBMISSION,
// _DELIVERY and _REASON (line ends made blanks); nothing else of the process's.
std::vector<std::string> alert_environment(const Alert& alert);

// Posts the alert and runs the command, each within kAlertSeconds; a failure, and
// the command's first line of output, go to the log.
inline constexpr int kAlertSeconds = 5;
void send_alert(const Alert& alert, const AlertSettings& settings, const LogContext& log);

// Sends the alert of the delivery's end, when there is one and somewhere to send it.
void alert_delivery_end(const Delivery& delivery, const AttemptDecision& decision,
                        const DeliveryAttempt& attempt, const AlertSettings& settings,
                        const LogContext& log);

// The alert that the outbox at `now` (milliseconds) calls for: its condition
// changed, and this process is the one that changed it in `store`. nullopt in
// `*alert` when none; false with `*error` set when the store fails.
bool outbox_change(ArchiveStore& store, const std::vector<OutboxKind>& outbox, int minutes,
                   std::int64_t now, std::optional<Alert>* alert, std::string* error);

// Sends outbox_change's alert, when there is somewhere to send it.
bool check_outbox_alert(ArchiveStore& store, const std::vector<OutboxKind>& outbox,
                        const AlertSettings& settings, std::int64_t now, const LogContext& log,
                        std::string* error);
