#include "velloc/guard/honeypot.h"

#include "platform/text.h"
#include "velloc/archive/archive_step.h"
#include "velloc/guard/challenge_step.h"
#include "velloc/request/event_log.h"
#include "velloc/response_page.h"
#include "velloc/run.h"

bool honeypot_filled(const std::optional<std::string>& field_name, const CgiRequest& request) {
  return field_name && !field_name->empty() && request.field_is_set(*field_name);
}

void drop_honeypot_submission(Run& run) {
  const std::string& field = run.settings.honeypot_field;
  if (field.empty()) return;
  if (honeypot_filled(field, run.request)) {
    log_event(run.message, LogEvent::kSpam, 5, "Honeypot field filled; submission dropped\n");
    run.spam_check = "honeypot";
    archive_spam(run);
    throw RunEnded{decide_response_page(run)};
  }
  drop_checked_field(run, field);
}
