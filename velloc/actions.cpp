#include "velloc/actions.h"

#include <algorithm>

#include "velloc/guard/recipient_policy.h"
#include "velloc/mail/mail_steps.h"
#include "velloc/run.h"
#include "velloc/storage/database_insert.h"
#include "velloc/storage/text_export.h"
#include "velloc/webhook/webhook_step.h"

std::optional<std::string> refused_recipient(const Run& run) {
  if (run.request.field_is_set("DISABLE_MAIL")) return std::nullopt;
  RecipientRules rules{run.settings.default_recipient, run.settings.allowed_recipients,
                       run.request.get_env("SERVER_NAME")};
  RecipientDecision decision = decide_recipients(run.request.field_text("RECIPIENT"), rules);
  if (decision.allowed) return std::nullopt;
  return decision.refused_address;
}

void run_actions(Run& run) {
  auto to_run = [&](const char* action) {
    return std::find(run.actions_done.begin(), run.actions_done.end(), action) ==
           run.actions_done.end();
  };
  if (to_run("database")) insert_database_record(run);
  if (to_run("text_export")) export_text_file(run);
  if (to_run("form_mail")) send_form_mail(run);
  if (to_run("receipt")) send_receipt(run);
  if (to_run("webhook")) call_webhooks(run);
}
