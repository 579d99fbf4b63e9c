#include "velloc/refusal.h"

#include <string>

#include "velloc/request/event_log.h"

void fail_request(const LogContext& log_context, std::string_view message, Reason reason) {
  fail_request(log_context, message, message, reason);
}

void fail_request(const LogContext& log_context, std::string_view page_message,
                  std::string_view log_message, Reason reason) {
  log_event(log_context, LogEvent::kRefused, 1, "Velloc Failed: %s",
            std::string(log_message).c_str());
  Answer refusal;
  refusal.kind = Answer::Kind::kRefused;
  refusal.reason = reason;
  refusal.message = std::string(page_message);
  throw RunEnded{std::move(refusal)};
}

void fail_request(const LogContext& log_context, Answer refusal) {
  log_event(log_context, LogEvent::kRefused, 1, "Velloc Failed: %s", refusal.message.c_str());
  refusal.kind = Answer::Kind::kRefused;
  throw RunEnded{std::move(refusal)};
}
