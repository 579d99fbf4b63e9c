#include "velloc/templates/template_paths.h"

#include <array>
#include <fstream>
#include <sstream>

#include "velloc/guard/address_cleaning.h"
#include "velloc/guard/template_name_policy.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/refusal.h"
#include "velloc/request/html_escape.h"
#include "velloc/request/page_head.h"
#include "velloc/response/form_redirect.h"
#include "velloc/run.h"
#include "velloc/templates/text_files.h"

namespace {

using text::kMissingFieldsHeading;
using text::kMissingTemplateUnreadable;
constexpr char kEmailDefault[] = "VellocPro";

struct TemplateField {
  const char* field;
  std::string TemplatePaths::*path;
};

constexpr std::array<TemplateField, 6> kTemplateFields = {{
    {"TEMPLATE_MISSING", &TemplatePaths::missing_template},
    {"TEMPLATE_MAIL", &TemplatePaths::mail_template},
    {"TEMPLATE_RECEIPT", &TemplatePaths::receipt_template},
    {"TEMPLATE_WEB", &TemplatePaths::web_template},
    {"TEMPLATE_DATABASE", &TemplatePaths::database_template},
    {"TEMPLATE_TEXTFILE", &TemplatePaths::textfile_template},
}};

// The missing-fields template as the answer, or the failure page when it cannot
// be read. A name refused for ".." gets no answer at all.
[[noreturn]] void answer_with_missing_template(Run& run) {
  if (run.templates.missing_template.empty()) throw RunEnded{};
  std::optional<Answer> page = render_form_template(run, run.templates.missing_template);
  if (!page) fail_request(run.message, kMissingTemplateUnreadable);
  throw RunEnded{std::move(*page)};
}

}  // namespace

void answer_incomplete_page(Run& run) {
  if (std::optional<std::string> target = form_redirect_target(run, "REDIR_MISSING")) {
    Answer redirect = Answer::of(Answer::Kind::kRedirect);
    redirect.location = std::move(*target);
    throw RunEnded{std::move(redirect)};
  }
  if (run.request.field_is_set("TEMPLATE_MISSING")) answer_with_missing_template(run);
}

bool resolve_template_paths(Run& run) {
  for (const TemplateField& entry : kTemplateFields) {
    std::string value = run.request.get_field(entry.field);
    if (!value.empty() && value.find("..") == std::string::npos)
      run.templates.*entry.path = run.settings.template_directory + value;
  }
  return true;
}

std::optional<Answer> render_form_template(Run& run, const std::string& path) {
  std::ifstream file;
  if (!open_form_template(path, file)) return std::nullopt;
  std::ostringstream page;
  expand_template(file, page, run.request, run.template_state, web_template_escape(run));
  Answer answer;
  answer.kind = Answer::Kind::kPage;
  answer.body = std::move(page).str();
  return answer;
}

bool open_form_template(const std::string& path, std::ifstream& in) {
  return form_template_name_allowed(path) && open_text_for_reading(path, in);
}

ValueEscape web_template_escape(const Run& run) {
  return run.settings.escape_web_templates ? ValueEscape::kHtml : ValueEscape::kNone;
}

std::vector<std::string> missing_field_names(const CgiRequest& request) {
  std::vector<std::string> missing;
  if (request.field_is_blank("REQUIRED")) return missing;
  for (std::string& name : split_name_list(request.get_field("REQUIRED")))
    if (request.field_is_blank(name)) missing.push_back(std::move(name));
  return missing;
}

int list_missing_fields(const Run& run, std::string& message) {
  const CgiRequest& request = run.request;
  if (request.field_is_blank("REQUIRED")) return 0;
  int missing = 0;
  for (const std::string& name : split_name_list(request.get_field("REQUIRED"))) {
    if (!request.field_is_blank(name)) continue;
    if (missing++ == 0) message = kMissingFieldsHeading;
    message += html_escape(name);
    message += "<BR>\n";
  }
  return missing;
}

bool check_required_fields(Run& run) {
  CgiRequest& request = run.request;
  std::string message;
  if (list_missing_fields(run, message) == 0) {
    if (first_address(request.field_text("EMAIL")).empty())
      request.set_field("EMAIL", kEmailDefault);
    return true;
  }
  if (run.answer_format == AnswerFormat::kHtml) answer_incomplete_page(run);
  Answer refusal;
  refusal.reason = Reason::kMissingFields;
  refusal.message = std::move(message);
  refusal.missing_fields = missing_field_names(request);
  fail_request(run.message, std::move(refusal));
}
