// Ending a run with a refusal: the step's message goes into the answer and the
// log, and the run ends. The responder writes the page.
#pragma once

#include <string_view>

#include "velloc/answer.h"
#include "velloc/request/event_log.h"

// Logs "Velloc Failed: " and the message at type 1 and ends the run by throwing
// RunEnded with a kRefused answer for `reason` whose page text is the message as
// given (callers escape any request text they put in it).
[[noreturn]] void fail_request(const LogContext& log_context, std::string_view message,
                               Reason reason = Reason::kFailed);
// The same for a message that holds request text: the page shows `page_message`
// (that text escaped), the log `log_message`.
[[noreturn]] void fail_request(const LogContext& log_context, std::string_view page_message,
                               std::string_view log_message, Reason reason = Reason::kFailed);
// The same with the refusal's own answer (its reason, a status, the missing
// fields), whose message the page shows.
[[noreturn]] void fail_request(const LogContext& log_context, Answer refusal);
