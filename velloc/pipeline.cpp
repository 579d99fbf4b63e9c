#include "velloc/pipeline.h"

#include <exception>
#include <iostream>

#include "velloc/mail/mail_steps.h"
#include "velloc/request/diagnostics.h"
#include "velloc/request/multipart_form.h"
#include "velloc/request/upload_check.h"
#include "velloc/response_page.h"
#include "velloc/run.h"
#include "velloc/storage/database_insert.h"
#include "velloc/storage/text_export.h"

namespace {

constexpr char kRefusedReferer[] =
    "This request was submitted from a Form with Insufficent Permissions.";

// Step 1. Running out of memory while decoding is answered with the initialisation
// error page; nothing is logged, since the settings are not read yet.
void init_request_or_fail(Run& run, const char* const* environment, std::istream& body) {
  try {
    UploadSpool spool;
    spool.temp_dir = temp_directory_setting();
    init_request(run.request, environment, body, ", ", spool);
  } catch (const std::exception& error) {
    std::cerr << "velloc: " << error.what() << '\n';
    run.request = CgiRequest();
    write_content_type(run.response, "text/html");
    run.response << "<HTML>\n<H1>CGI Initialization Error</H1>\n</HTML>";
    throw RunEnded();
  }
}

void run_steps(Run& run, const char* const* environment, std::istream& body) {
  init_request_or_fail(run, environment, body);
  init_mail_message(run.message);
  load_settings(run);
  run_debug_mode(run);
  if (!check_referer(run)) fail_request(run, kRefusedReferer);
  check_uploads(run);
  resolve_template_paths(run);
  check_required_fields(run);
  insert_database_record(run);
  export_text_file(run);
  send_form_mail(run);
  send_receipt(run);
  write_response_page(run);
}

}  // namespace

int run_velloc(std::ostream& response, const char* const* environment, std::istream& body) {
  Run run(response);
  try {
    run_steps(run, environment, body);
  } catch (const RunEnded&) {
  }
  response.flush();
  return 1;
}
