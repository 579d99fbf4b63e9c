// Spam scoring of the form mail by a spamd server, from the form profile or
// [Velloc]: SpamCheck=spamd:HOST:PORT and SpamThreshold (default 5.0). Off unless
// SpamCheck is set.
#pragma once

#include <optional>
#include <string_view>

struct Run;

// SpamThreshold as written; `fallback` for an empty value or one that is no number.
double parse_spam_threshold(std::string_view text, double fallback = 5.0);

// Step after the rate limits: scores the composed form mail (before any
// encryption). A score at or over the threshold ends the run as spam; a lower
// one goes into the form mail's X-Spam-Score line. Of a message over 500 KB the
// first 500 KB are scored, and the log says so. A filter that cannot be reached
// is logged and lets the submission through unscored.
void score_spam(Run& run);
