#include "velloc/pipeline.h"

#include <exception>
#include <iostream>

#include "velloc/guard/honeypot.h"
#include "velloc/guard/recipient_policy.h"
#include "velloc/guard/submission_limits.h"
#include "velloc/mail/mail_steps.h"
#include "velloc/request/diagnostics.h"
#include "velloc/request/event_log.h"
#include "velloc/request/multipart_form.h"
#include "velloc/request/upload_check.h"
#include "velloc/response_page.h"
#include "velloc/run.h"
#include "velloc/storage/database_insert.h"
#include "velloc/storage/text_export.h"

namespace {

constexpr char kRefusedReferer[] =
    "This request was submitted from a Form with Insufficent Permissions.";
constexpr char kRefusedRecipient[] = "Recipient Not Allowed!";

// Step 1. A request over the limits of the settings, or running out of memory while
// decoding, is answered with the initialisation error page; nothing is logged, since
// the log's settings are not read yet.
void init_request_or_fail(Run& run, const char* const* environment, std::istream& body) {
  try {
    RequestLimits limits = read_request_limits(find_settings_file());
    UploadSpool spool;
    spool.temp_dir = temp_directory_setting();
    spool.follow_links = follow_links_setting();
    spool.registry = run.message.temp_files;
    spool.limits.max_parts = limits.max_fields;
    init_request(run.request, environment, body, ", ", limits, spool);
  } catch (const std::exception& error) {
    std::cerr << "velloc: " << error.what() << '\n';
    run.request = CgiRequest();
    write_content_type(run.response, "text/html");
    run.response << "<HTML>\n<H1>CGI Initialization Error</H1>\n</HTML>";
    throw RunEnded();
  }
}

// After the referer check: a form mail may go only to the allowed recipients; a form
// that names another ends the run before anything is stored or sent.
void check_form_recipients(Run& run) {
  if (run.request.field_is_set("DISABLE_MAIL")) return;
  RecipientRules rules{run.settings.default_recipient, run.settings.allowed_recipients,
                       run.request.get_env("SERVER_NAME")};
  RecipientDecision decision = decide_recipients(run.request.field_text("RECIPIENT"), rules);
  if (decision.allowed) return;
  log_event(run.message, 1, "Recipient not allowed: %s\n", decision.refused_address.c_str());
  fail_request(run, kRefusedRecipient);
}

void run_steps(Run& run, const char* const* environment, std::istream& body) {
  init_request_or_fail(run, environment, body);
  platform::TempFileRegistry* temp_files = run.message.temp_files;
  init_mail_message(run.message);
  run.message.temp_files = temp_files;
  load_settings(run);
  run_debug_mode(run);
  if (!check_referer(run)) fail_request(run, kRefusedReferer);
  check_form_recipients(run);
  check_uploads(run);
  resolve_template_paths(run);
  check_required_fields(run);
  drop_honeypot_submission(run);
  check_rate_limits(run);
  insert_database_record(run);
  export_text_file(run);
  send_form_mail(run);
  send_receipt(run);
  write_response_page(run);
}

}  // namespace

int run_velloc(std::ostream& response, const char* const* environment, std::istream& body,
               platform::TempFileRegistry* temp_files) {
  Run run(response);
  run.message.temp_files = temp_files;
  try {
    run_steps(run, environment, body);
  } catch (const RunEnded&) {
  }
  response.flush();
  return 1;
}
