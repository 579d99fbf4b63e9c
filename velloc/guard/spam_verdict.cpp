#include "velloc/guard/spam_verdict.h"

#include "velloc/archive/archive_step.h"
#include "velloc/request/event_log.h"
#include "velloc/response_page.h"
#include "velloc/run.h"

void end_as_spam(Run& run, const std::string& why) {
  log_event(run.message, 5, "Spam (%s); nothing done\n", why.c_str());
  run.spam = true;
  archive_spam(run);
  throw RunEnded{decide_response_page(run)};
}
