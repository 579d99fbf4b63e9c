// The webhook step, after the form mail and the receipt: each of the site's
// webhooks (settings.webhooks) is called once with the submission. A call that
// fails is logged, "Webhook failed (<address>): <why>", and the visitor's answer
// stays as it is. All of a run's calls share WebhookTotalTimeout: a call with no
// time left is not sent and fails as timed out (a delivery left pending with the
// archive). The body is built once per run; the signature is made when a
// call is sent, so that a call sent again later carries a fresh timestamp.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "velloc/webhook/delivery_outcome.h"
#include "velloc/webhook/webhook_settings.h"

struct Run;

// What a webhook call sends, whenever it is sent.
struct WebhookCall {
  std::string url;
  std::string content_type;
  std::string body;
};

// The body of the run's calls at `unix_time`: the expansion of WebhookTemplate
// (values written as the inside of JSON strings) or the JSON document of
// webhook_body.h. nullopt, with `*error` set, when the template cannot be read.
std::optional<std::string> webhook_body(Run& run, std::int64_t unix_time, std::string* error);

// Sends `call` at `unix_time`, signed when the settings name a secret. An address
// the target policy refuses is not sent (kRefused).
HttpResult send_webhook_call(const WebhookCall& call, const WebhookSettings& settings,
                             std::int64_t unix_time);

// The seconds a call may take: its own `per_call` timeout, or less when only
// `left` of the submission's WebhookTotalTimeout remains, to the nearest second; 0
// when less than half a second is left.
int webhook_call_timeout(int per_call, std::chrono::milliseconds left);

// Why a call did not deliver, as the log says it: "HTTP 503", "timed out", ...
std::string webhook_failure_text(const HttpResult& result);

void call_webhooks(Run& run);
