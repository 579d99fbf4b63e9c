#include "velloc/guard/spam_verdict.h"

#include "velloc/archive/archive_step.h"
#include "velloc/request/event_log.h"
#include "velloc/response_page.h"
#include "velloc/run.h"

void end_as_spam(Run& run, const std::string& check, const std::string& why) {
  run.spam_check = check;
  log_event(run.message, LogEvent::kSpam, 5, "Spam (%s); nothing done\n", why.c_str());
  archive_spam(run);
  throw RunEnded{decide_response_page(run)};
}
