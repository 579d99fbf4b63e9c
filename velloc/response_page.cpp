#include "velloc/response_page.h"

#include <optional>

#include "velloc/response/form_redirect.h"
#include "velloc/run.h"
#include "velloc/templates/template_paths.h"

namespace {

Answer decide_page(Run& run) {
  Answer answer;
  if (run.request.field_is_set("TEMPLATE_WEB")) {
    std::optional<Answer> page = render_form_template(run, run.templates.web_template);
    if (page) return std::move(*page);
    answer.kind = Answer::Kind::kTemplateNotFound;
    answer.location = run.templates.web_template;
    return answer;
  }
  if (std::optional<std::string> target = form_redirect_target(run, "REDIRECT")) {
    answer.kind = Answer::Kind::kRedirect;
    answer.location = std::move(*target);
    return answer;
  }
  answer.kind = Answer::Kind::kConfirmation;
  return answer;
}

}  // namespace

Answer decide_response_page(Run& run) {
  Answer answer = decide_page(run);
  if (answer.kind != Answer::Kind::kTemplateNotFound)
    answer.receipt_number = run.request.get_field("RECEIPT_NUMBER");
  return answer;
}
