#include "velloc/rules/rules_step.h"

#include <algorithm>

#include "platform/text.h"
#include "velloc/actions.h"
#include "velloc/language/visitor_language.h"
#include "velloc/refusal.h"
#include "velloc/request/html_escape.h"
#include "velloc/rules/form_rules.h"
#include "velloc/rules/validation_messages.h"
#include "velloc/run.h"
#include "velloc/templates/template_paths.h"

namespace {

constexpr char kRefusedRecipient[] = "Recipient Not Allowed!";
constexpr char kInvalidFieldsField[] = "INVALID_FIELDS";

rules::FieldLookup request_fields(const Run& run) {
  return [&run](const std::string& name) { return run.request.get_field(name); };
}

// The errors in the order the form sent its fields (names match without regard to
// case, as every field's does), each under the name its check writes, in the visitor's
// language.
std::vector<std::pair<std::string, std::string>> in_form_order(
    Run& run, const std::vector<rules::FieldError>& errors) {
  std::vector<std::pair<std::string, std::string>> ordered;
  run.request.fields.for_each_added([&](const std::string& name, const std::string&) {
    for (const rules::FieldError& error : errors)
      if (platform::equal_ignoring_case(error.field, name))
        ordered.emplace_back(
            error.field,
            fill_placeholders(visitor_text(run, validation_message_text(error.message)),
                              error.values));
  });
  return ordered;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

}  // namespace

void check_field_rules(Run& run) {
  if (!run.settings.rules || run.settings.rules->checks.empty()) return;
  std::vector<rules::FieldError> errors =
      rules::validate_fields(*run.settings.rules, request_fields(run));
  if (errors.empty()) return;
  Answer refusal;
  refusal.reason = Reason::kInvalidFields;
  refusal.field_errors = in_form_order(run, errors);
  if (run.answer_format == AnswerFormat::kHtml) {
    // The form's own page: its missing-fields template reads the messages from
    // INVALID_FIELDS ("FIELD: message" a line), or its REDIR_MISSING redirect.
    std::string lines;
    for (const auto& [field, text] : refusal.field_errors) lines += field + ": " + text + "\n";
    run.request.set_field(kInvalidFieldsField, lines);
    answer_incomplete_page(run);
  }
  refusal.message =
      "<P>" + visitor_text(run, validation_message_text(ValidationMessage::kHeading)) + "<P>\n";
  for (const auto& [field, text] : refusal.field_errors)
    refusal.message += html_escape(field) + ": " + html_escape(text) + "<BR>\n";
  fail_request(run.message, std::move(refusal));
}

void apply_form_rules(Run& run) {
  if (!run.settings.rules) return;
  rules::RuleDecision decision = rules::decide_rules(*run.settings.rules, request_fields(run));
  for (const rules::Rule* rule : decision.matched)
    log_event(run.message, 5, "Rule matched: %s=%s\n", rule->key.c_str(), rule->text.c_str());
  if (decision.routed && !decision.recipients.empty()) {
    run.request.set_field("RECIPIENT", joined(decision.recipients));
    if (std::optional<std::string> refused = refused_recipient(run)) {
      log_event(run.message, 1, "Recipient not allowed: %s\n", refused->c_str());
      fail_request(run.message, kRefusedRecipient, Reason::kRecipient);
    }
  }
  if (decision.skip_receipt) run.request.set_field("DO_RECEIPT", "");
  const std::string& folder = run.settings.template_directory;
  if (!decision.mail_template.empty()) {
    run.request.set_field("TEMPLATE_MAIL", decision.mail_template);
    run.templates.mail_template = folder + decision.mail_template;
  }
  if (!decision.receipt_template.empty()) {
    run.request.set_field("TEMPLATE_RECEIPT", decision.receipt_template);
    run.templates.receipt_template = folder + decision.receipt_template;
  }
  for (const std::string& name : decision.unknown_webhooks)
    log_event(run.message, 1, "Rule webhook left out: no webhook named %s in [Webhooks]\n",
              name.c_str());
  std::vector<std::string>& urls = run.settings.webhooks.urls;
  for (const std::string& url : decision.webhooks)
    if (std::find(urls.begin(), urls.end(), url) == urls.end()) urls.push_back(url);
  run.tags = std::move(decision.tags);
}
