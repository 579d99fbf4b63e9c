#include "velloc/webhook/delivery_outcome.h"

#include "velloc/mail/reply_text.h"

namespace {

constexpr long kTooManyRequests = 429;

DeliveryOutcome classify_status(long status) {
  if (status >= 200 && status <= 299) return DeliveryOutcome::kDelivered;
  if (status == kTooManyRequests || (status >= 500 && status <= 599))
    return DeliveryOutcome::kTemporary;
  return DeliveryOutcome::kPermanent;
}

}  // namespace

DeliveryOutcome classify_http_result(const HttpResult& result) {
  switch (result.transport) {
    case HttpResult::Transport::kAnswered:
      return classify_status(result.status);
    case HttpResult::Transport::kTimedOut:
    case HttpResult::Transport::kConnectionFailed:
    case HttpResult::Transport::kUnavailable:
      return DeliveryOutcome::kTemporary;
    case HttpResult::Transport::kRefused:
      break;
  }
  return DeliveryOutcome::kPermanent;
}

std::string http_reply(const HttpResult& result) {
  if (result.transport != HttpResult::Transport::kAnswered) return reply_text(result.error);
  if (!result.status_line.empty()) return reply_text(result.status_line);
  return "HTTP " + std::to_string(result.status);
}

const char* delivery_outcome_name(DeliveryOutcome outcome) {
  switch (outcome) {
    case DeliveryOutcome::kDelivered:
      return "delivered";
    case DeliveryOutcome::kTemporary:
      return "temporary";
    case DeliveryOutcome::kPermanent:
      break;
  }
  return "permanent";
}
