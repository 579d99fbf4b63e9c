#include "velloc/webhook/webhook_step.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "velloc/archive/alerts.h"
#include "velloc/archive/archive_batch.h"
#include "velloc/archive/archive_store.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/archive/given_up_delivery.h"
#include "velloc/mail/openssl_library.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"
#include "velloc/templates/template_paths.h"
#include "velloc/webhook/hanging_targets.h"
#include "velloc/webhook/http_client.h"
#include "velloc/webhook/webhook_body.h"
#include "velloc/webhook/webhook_signature.h"
#include "velloc/webhook/webhook_target.h"

namespace {

HttpResult not_sent(HttpResult::Transport transport, std::string why) {
  HttpResult result;
  result.transport = transport;
  result.error = std::move(why);
  return result;
}

std::optional<std::string> expand_webhook_template(Run& run, std::string* error) {
  const std::string& name = run.settings.webhooks.template_name;
  std::string path = run.settings.template_directory + name;
  std::ifstream file;
  if (name.find("..") != std::string::npos || !open_form_template(path, file)) {
    *error = "cannot read the template '" + path + "'";
    return std::nullopt;
  }
  std::ostringstream body;
  expand_template(file, body, run.request, run.template_state, ValueEscape::kJson);
  return std::move(body).str();
}

void log_result(const Run& run, const std::string& shown, const HttpResult& result) {
  if (classify_http_result(result) == DeliveryOutcome::kDelivered) {
    log_event(run.message, LogEvent::kWebhookSent, 5, "Webhook delivered (%s): HTTP %ld\n",
              shown.c_str(), result.status);
    return;
  }
  log_event(run.message, LogEvent::kWebhookFailed, 1, "Webhook failed (%s): %s\n", shown.c_str(),
            webhook_failure_text(result).c_str());
}

ArchiveStore* archive_store(Run& run, std::string* error) {
  return run.site.archive_store(
      state_connection_string(run.settings.state_dsn, run.settings.settings_file), error);
}

// Sends `call` within the time `settings` leave it, unless its target timed out
// lately; the Site learns from the result.
HttpResult send_in_time(Run& run, const WebhookCall& call, const WebhookSettings& settings,
                        std::int64_t now) {
  HangingTargets& hanging = run.site.hanging_webhook_targets();
  if (hanging.paused(call.url, now))
    return not_sent(HttpResult::Transport::kTimedOut,
                    "not called: its last call timed out less than " +
                        std::to_string(HangingTargets::kPauseSeconds) + " seconds ago");
  if (settings.timeout_seconds <= 0)
    return not_sent(HttpResult::Transport::kTimedOut, "no time left of WebhookTotalTimeout");
  HttpResult result = send_webhook_call(call, settings, now);
  if (result.transport == HttpResult::Transport::kTimedOut)
    hanging.timed_out(call.url, now);
  else if (result.transport == HttpResult::Transport::kAnswered)
    hanging.answered(call.url);
  return result;
}

// A call given up at once (DeliveryRetryHours=0): the owner's notice, and the
// submission marked failed; failures are logged.
void report_given_up(Run& run, ArchiveStore& store, const Delivery& delivery,
                     const std::string& why, std::int64_t now) {
  GiveUpNotice notice{run.message, run.message.default_sender, run.settings.default_recipient,
                      run.settings.delivery_retry_hours};
  std::string error;
  if (!send_given_up_notice(delivery, why, notice, &error))
    log_event(run.message, 1, "%s\n", error.c_str());
  if (!mark_given_up(store, delivery, why, now, &error)) {
    run.site.archive_store_failed();
    log_event(run.message, 1, "Outcome of webhook not archived: %s\n", error.c_str());
  }
}

// With the archive the call is a delivery: kept before it is sent, and left
// pending for velloc --deliver when it fails for the time being.
void call_archived_webhook(Run& run, const WebhookCall& call, const WebhookSettings& settings,
                           const std::string& shown, std::int64_t now) {
  std::string error;
  ArchiveStore* store = archive_store(run, &error);
  if (run.settings.delivery_queue && store != nullptr) {
    Delivery queued = queued_delivery(run.archive_id, "webhook", call.url, call.body, now * 1000);
    ArchiveBatch* batch = run.archive_batch.get();
    bool batched = batch != nullptr && !batch->ended;  // kept, and rung, with the run's record
    if (batched) batch->deliveries.push_back(std::move(queued));
    if (batched || store->add_delivery(queued, &error)) {
      if (!batched) run.site.delivery_queued();
      log_event(run.message, LogEvent::kWebhookQueued, 5,
                "Webhook queued for the delivery work (%s)\n", shown.c_str());
      return;
    }
    run.site.archive_store_failed();
    log_event(run.message, 1, "Delivery of webhook not queued, sent at once (%s): %s\n",
              shown.c_str(), error.c_str());
    store = archive_store(run, &error);
  }
  std::string claimer = "run " + run.site.facts().host_name + " " + std::to_string(getpid());
  std::optional<Delivery> delivery;
  if (store != nullptr)
    delivery = add_held_delivery(*store, run.archive_id, "webhook", call.url, call.body, now * 1000,
                                 claimer, &error);
  if (!delivery) {
    if (store != nullptr) run.site.archive_store_failed();
    log_event(run.message, 1, "Delivery of webhook not archived (%s): %s\n", shown.c_str(),
              error.c_str());
  }
  HttpResult result = send_in_time(run, call, settings, now);
  log_result(run, shown, result);
  DeliveryOutcome outcome = classify_http_result(result);
  if (!delivery) {
    count_delivery_end(run.site.metrics(), "webhook",
                       {outcome == DeliveryOutcome::kDelivered ? "delivered" : "failed"});
    return;
  }
  std::int64_t finished = run.site.clock().unix_seconds() * 1000;
  AttemptDecision decision =
      decide_attempt(*delivery, outcome, finished, run.settings.delivery_retry_hours);
  std::string text =
      outcome == DeliveryOutcome::kDelivered ? "delivered" : webhook_failure_text(result);
  if (!record_attempt(*store, *delivery, decision, {finished, text, http_reply(result)}, &error)) {
    run.site.archive_store_failed();
    log_event(run.message, 1, "%s\n", unrecorded_attempt_text(*delivery, decision, error).c_str());
  }
  count_delivery_end(run.site.metrics(), "webhook", decision);
  if (decision.given_up) report_given_up(run, *store, *delivery, text, finished);
  alert_delivery_end(*delivery, decision, {finished, text, http_reply(result)},
                     alert_settings(*run.settings.site), run.message);
  if (decision.status == "pending")
    log_event(run.message, LogEvent::kWebhookQueued, 1,
              "Webhook queued for a later delivery (%s)\n", shown.c_str());
}

}  // namespace

std::optional<std::string> webhook_body(Run& run, std::int64_t unix_time, std::string* error) {
  if (!run.settings.webhooks.template_name.empty()) return expand_webhook_template(run, error);
  return webhook_json_body(run.request, form_profile_name(run.settings), unix_time);
}

HttpResult send_webhook_call(const WebhookCall& call, const WebhookSettings& settings,
                             std::int64_t unix_time) {
  WebhookTarget target = decide_webhook_target(call.url, settings.allow_plain);
  if (!target.allowed) return not_sent(HttpResult::Transport::kRefused, target.refusal);
  HttpPost post{call.url,         call.content_type, call.body, {}, settings.timeout_seconds,
                settings.ca_file, target.plain};
  if (!settings.secret.empty()) {
    std::string error;
    const OpenSslApi* tls = openssl_api(&error);
    if (tls) post.headers = signature_headers(*tls, settings.secret, unix_time, call.body);
    if (post.headers.empty())
      return not_sent(HttpResult::Transport::kUnavailable, "cannot sign the call: " + error);
  }
  return post_http(post);
}

int webhook_call_timeout(int per_call, std::chrono::milliseconds left) {
  auto seconds = std::chrono::round<std::chrono::seconds>(left).count();
  return static_cast<int>(std::clamp<decltype(seconds)>(seconds, 0, per_call));
}

std::string webhook_failure_text(const HttpResult& result) {
  std::string outcome = delivery_outcome_name(classify_http_result(result));
  switch (result.transport) {
    case HttpResult::Transport::kAnswered:
      return "HTTP " + std::to_string(result.status) + " (" + outcome + ")";
    case HttpResult::Transport::kTimedOut:
      return "timed out: " + result.error + " (" + outcome + ")";
    default:
      return result.error + " (" + outcome + ")";
  }
}

void call_webhooks(Run& run) {
  const WebhookSettings& settings = run.settings.webhooks;
  if (settings.urls.empty()) return;
  std::int64_t now = run.site.clock().unix_seconds();
  std::string error;
  std::optional<std::string> body = webhook_body(run, now, &error);
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(settings.total_timeout_seconds);
  for (const std::string& url : settings.urls) {
    std::string shown = url_without_credentials(url);
    if (!body) {
      log_event(run.message, LogEvent::kWebhookFailed, 1, "Webhook failed (%s): %s\n",
                shown.c_str(), error.c_str());
      continue;
    }
    WebhookCall call{url, kJsonContentType, *body};
    WebhookSettings in_time = settings;
    in_time.timeout_seconds = webhook_call_timeout(
        settings.timeout_seconds, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now()));
    if (!run.archive_id.empty()) {
      call_archived_webhook(run, call, in_time, shown, now);
      continue;
    }
    log_result(run, shown, send_in_time(run, call, in_time, now));
  }
}
