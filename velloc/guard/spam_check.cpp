#include "velloc/guard/spam_check.h"

#include <charconv>
#include <cstdio>
#include <string>

#include "platform/text.h"
#include "velloc/guard/spam_verdict.h"
#include "velloc/guard/spamd_client.h"
#include "velloc/mail/mail_steps.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

// The whole exchange with the filter; a visitor waits for it.
constexpr int kSpamdBudgetMs = 8000;

std::string one_decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

double parse_spam_threshold(std::string_view text, double fallback) {
  text = platform::trim(text);
  double value = 0;
  auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  return failure == std::errc() && end != text.data() ? value : fallback;
}

void score_spam(Run& run) {
  const std::string& setting = run.settings.spam_check;
  if (setting.empty()) return;
  std::optional<SpamdAddress> address = parse_spam_check(setting);
  if (!address) {
    log_event(run.message, 1, "SpamCheck %s not understood; not scored\n", setting.c_str());
    return;
  }
  double threshold = parse_spam_threshold(run.settings.spam_threshold);
  std::string message = form_mail_text(run);
  std::string_view scored = scored_part(message);
  if (scored.size() < message.size())
    log_event(run.message, 5, "Form mail of %zu bytes; its first %zu scored\n", message.size(),
              scored.size());
  std::string error;
  std::optional<double> score = spamd_score(*address, scored, kSpamdBudgetMs, &error);
  if (!score) {
    log_event(run.message, 1, "Spam filter not reached, let through unscored: %s\n", error.c_str());
    return;
  }
  if (*score >= threshold)
    end_as_spam(run, "spam_filter",
                "score " + one_decimal(*score) + ", threshold " + one_decimal(threshold));
  run.spam_score = one_decimal(*score);
}
