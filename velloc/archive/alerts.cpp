#include "velloc/archive/alerts.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/process.h"
#include "velloc/mail/openssl_library.h"
#include "velloc/response/json_writer.h"
#include "velloc/settings/site_settings.h"
#include "velloc/webhook/http_client.h"
#include "velloc/webhook/webhook_body.h"
#include "velloc/webhook/webhook_signature.h"
#include "velloc/webhook/webhook_target.h"

namespace {

constexpr char kOutboxCondition[] = "outbox_too_old";
constexpr int kPollMs = 50;
// What of the command's output reaches the log: the start of its first line.
constexpr std::size_t kShownOutput = 200;
constexpr char kCommandPath[] = "PATH=/usr/local/bin:/usr/bin:/bin";

void post_alert(const Alert& alert, const AlertSettings& settings, const LogContext& log) {
  WebhookTarget target = decide_webhook_target(settings.webhook, false);
  if (!target.allowed) {
    log_event(log, 1, "Alert %s not posted: %s\n", alert.event.c_str(), target.refusal.c_str());
    return;
  }
  HttpPost post{settings.webhook, kJsonContentType, alert_json(alert), {},
                kAlertSeconds,    settings.ca_file, target.plain};
  if (!settings.secret.empty()) {
    std::string error;
    if (const OpenSslApi* tls = openssl_api(&error))
      post.headers = signature_headers(*tls, settings.secret, alert.time, post.body);
    if (post.headers.empty()) {
      log_event(log, 1, "Alert %s not posted: cannot sign it: %s\n", alert.event.c_str(),
                error.c_str());
      return;
    }
  }
  HttpResult result = post_http(post);
  if (classify_http_result(result) != DeliveryOutcome::kDelivered)
    log_event(log, 1, "Alert %s not posted to %s: %s\n", alert.event.c_str(),
              url_without_credentials(settings.webhook).c_str(), http_reply(result).c_str());
}

// The first line of what the command wrote, cut short.
std::string first_line(int fd) {
  char buffer[kShownOutput];
  ssize_t got = pread(fd, buffer, sizeof(buffer), 0);
  std::string text(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
  return text.substr(0, text.find('\n'));
}

void run_alert_command(const Alert& alert, const AlertSettings& settings, const LogContext& log) {
  int output = memfd_create("velloc-alert", MFD_CLOEXEC);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  platform::SpawnRequest request{settings.command,        {}, null_fd, output, output, "",
                                 alert_environment(alert)};
  int error = 0;
  pid_t pid = output < 0 || null_fd < 0 ? -1 : platform::spawn_process(request, &error);
  if (null_fd >= 0) close(null_fd);
  if (pid < 0) {
    log_event(log, 1, "Alert command %s not run: %s\n", settings.command.c_str(),
              std::strerror(error != 0 ? error : errno));
    if (output >= 0) close(output);
    return;
  }
  int status = 0;
  bool ended = platform::wait_for_process(pid, kAlertSeconds * 1000 / kPollMs, kPollMs, &status);
  if (!ended) platform::kill_process(pid);
  std::string said = first_line(output);
  close(output);
  if (!ended)
    log_event(log, 1, "Alert command %s stopped after %d s: %s\n", settings.command.c_str(),
              kAlertSeconds, said.c_str());
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    log_event(log, 1, "Alert command %s failed (status %d): %s\n", settings.command.c_str(),
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), said.c_str());
  else if (!said.empty())
    log_event(log, 5, "Alert command %s: %s\n", settings.command.c_str(), said.c_str());
}

}  // namespace

AlertSettings alert_settings(const settings::SiteSettings& site) {
  return {site.alert_webhook, site.alert_webhook_secret, site.alert_command,
          site.outbox_alert_minutes, site.http_ca_file};
}

std::optional<Alert> delivery_alert(const Delivery& delivery, const AttemptDecision& decision,
                                    const DeliveryAttempt& attempt) {
  if (decision.status != "failed") return std::nullopt;
  std::string reason =
      "the " + delivery.kind + " to " + shown_target(delivery) + ": " + attempt.result;
  if (!attempt.reply.empty()) reason += "; " + attempt.reply;
  return Alert{decision.given_up ? "delivery_given_up" : "delivery_failed", attempt.at / 1000,
               delivery.submission_id, delivery.id, reason};
}

bool outbox_too_old(const std::vector<OutboxKind>& outbox, int minutes) {
  return std::any_of(outbox.begin(), outbox.end(), [&](const OutboxKind& kind) {
    return kind.due > 0 && kind.oldest_due_ms > std::int64_t{minutes} * 60 * 1000;
  });
}

Alert outbox_alert(const std::vector<OutboxKind>& outbox, bool too_old, int minutes,
                   std::int64_t now) {
  std::string limit = std::to_string(minutes) + " minutes";
  if (!too_old)
    return {"outbox_recovered", now / 1000, "", "", "no due delivery waits longer than " + limit};
  const OutboxKind* oldest = &outbox.front();
  for (const OutboxKind& kind : outbox)
    if (kind.oldest_due_ms > oldest->oldest_due_ms) oldest = &kind;
  return {"outbox_too_old", now / 1000, "", "",
          "the oldest due " + oldest->kind + " delivery fell due " +
              std::to_string(oldest->oldest_due_ms / 1000) + " s ago, more than " + limit};
}

std::string alert_json(const Alert& alert) {
  return JsonObject()
      .add_string("event", alert.event)
      .add_string("time", utc_timestamp(alert.time))
      .add_string("submission", alert.submission)
      .add_string("delivery", alert.delivery)
      .add_string("reason", alert.reason)
      .text();
}

std::vector<std::string> alert_environment(const Alert& alert) {
  // One line, for the shell scripts that read it.
  auto line = [](std::string value) {
    for (char& c : value)
      if (c == '\0' || c == '\n' || c == '\r') c = ' ';
    return value;
  };
  return {kCommandPath,
          "VELLOC_ALERT_EVENT=" + alert.event,
          "VELLOC_ALERT_TIME=" + utc_timestamp(alert.time),
          "VELLOC_ALERT_SUBMISSION=" + alert.submission,
          "VELLOC_ALERT_DELIVERY=" + alert.delivery,
          "VELLOC_ALERT_REASON=" + line(alert.reason)};
}

void send_alert(const Alert& alert, const AlertSettings& settings, const LogContext& log) {
  log_event(log, 1, "Alert %s: %s\n", alert.event.c_str(), alert.reason.c_str());
  if (!settings.webhook.empty()) post_alert(alert, settings, log);
  if (!settings.command.empty()) run_alert_command(alert, settings, log);
}

void alert_delivery_end(const Delivery& delivery, const AttemptDecision& decision,
                        const DeliveryAttempt& attempt, const AlertSettings& settings,
                        const LogContext& log) {
  if (!settings.any()) return;
  if (std::optional<Alert> alert = delivery_alert(delivery, decision, attempt))
    send_alert(*alert, settings, log);
}

bool check_outbox_alert(ArchiveStore& store, const std::vector<OutboxKind>& outbox,
                        const AlertSettings& settings, std::int64_t now, const LogContext& log,
                        std::string* error) {
  if (!settings.any()) return true;
  std::optional<Alert> alert;
  if (!outbox_change(store, outbox, settings.outbox_minutes, now, &alert, error)) return false;
  if (alert) send_alert(*alert, settings, log);
  return true;
}

bool outbox_change(ArchiveStore& store, const std::vector<OutboxKind>& outbox, int minutes,
                   std::int64_t now, std::optional<Alert>* alert, std::string* error) {
  alert->reset();
  bool too_old = outbox_too_old(outbox, minutes);
  bool flipped = false;
  if (!store.flip_condition(kOutboxCondition, too_old, now, &flipped, error)) return false;
  if (flipped) *alert = outbox_alert(outbox, too_old, minutes, now);
  return true;
}
