#include "velloc/pipeline.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>
#include <new>

#include "velloc/actions.h"
#include "velloc/archive/archive_step.h"
#include "velloc/check/settings_check.h"
#include "velloc/confirm/confirm_step.h"
#include "velloc/guard/captcha_step.h"
#include "velloc/guard/challenge_step.h"
#include "velloc/guard/content_rules.h"
#include "velloc/guard/honeypot.h"
#include "velloc/guard/origin_check.h"
#include "velloc/guard/recipient_policy.h"
#include "velloc/guard/referer_check.h"
#include "velloc/guard/spam_check.h"
#include "velloc/guard/submission_limits.h"
#include "velloc/guard/upload_check.h"
#include "velloc/health/health_checks.h"
#include "velloc/inbox/inbox_responder.h"
#include "velloc/inbox/inbox_step.h"
#include "velloc/language/visitor_language.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/mail/mail_steps.h"
#include "velloc/metrics/metrics_labels.h"
#include "velloc/metrics/metrics_route.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/request/multipart_form.h"
#include "velloc/request_summary.h"
#include "velloc/response/diagnostics.h"
#include "velloc/response/document_answer.h"
#include "velloc/response/html_responder.h"
#include "velloc/response/json_responder.h"
#include "velloc/response_page.h"
#include "velloc/rules/rules_step.h"
#include "velloc/run.h"
#include "velloc/settings/load_settings.h"
#include "velloc/storage/database_insert.h"
#include "velloc/storage/text_export.h"
#include "velloc/templates/template_paths.h"
#include "velloc/webhook/webhook_step.h"

namespace {

// The run's mail record, fresh, logging to the Site's file through the Site's
// clock under the request's id.
void init_run_message(Run& run) {
  std::string request_id = std::move(run.message.request_id);
  std::chrono::steady_clock::time_point began = run.message.began;
  init_mail_message(run.message, run.site.facts().host_name, run.site.facts().temp_directory);
  run.message.temp_files = run.site.temp_files();
  run.message.smtp_pool = run.site.smtp_pool();
  run.message.log = run.site.log_sink();
  run.message.clock = &run.site.clock();
  run.message.request_id = std::move(request_id);
  run.message.began = began;
}

// The log of a run ended before its settings were loaded, for the request's line.
void attach_log(Run& run, const settings::SiteSettings& site) {
  init_run_message(run);
  run.message.log_file = site.log_file;
  run.message.log_level = site.log_level;
  run.message.log_format = site.log_format;
  run.message.follow_links = site.follow_links;
}

using text::kRefusedRecipient;
using text::kRefusedReferer;
using text::kTooLargeToDecode;
using text::kUnexpectedFailure;

// The initialisation error for a request that could not be decoded: too large for
// the limits or the memory, or malformed. A script's answer names which in
// `message`, and the error stream gets `what`; a script on an origin that the
// site-wide AllowedOrigins allows may read it.
[[noreturn]] void end_with_init_failure(Run& run, const std::string& settings_file, Reason reason,
                                        const char* what, const char* message, int status = 0) {
  std::cerr << "velloc: " << what << '\n';
  std::shared_ptr<const settings::SiteSettings> site = run.site.site_settings(settings_file);
  attach_log(run, *site);
  run.answer_format = decide_answer_format(run);
  run.allow_origin = readable_origin(run.request, site->allowed_origins);
  run.request = CgiRequest();
  Answer failure = Answer::of(Answer::Kind::kInitFailure);
  failure.reason = reason;
  failure.message = message;
  failure.status = status;
  throw RunEnded{std::move(failure)};
}

// Step 1. A request over the limits of the settings, a body that cannot be decoded,
// or running out of memory while decoding, is answered with the initialisation error
// page; no step logs anything, only the request's own line of a JSON log. The request's
// headers, decoded first, still choose the answer's format.
void init_request_or_fail(Run& run, const char* const* environment, std::istream& body,
                          const std::string& settings_file) {
  try {
    std::shared_ptr<const settings::SiteSettings> site = run.site.site_settings(settings_file);
    RequestLimits limits = site->request_limits;
    UploadSpool spool;
    spool.temp_dir = temp_directory_setting(*site, run.site.facts());
    spool.follow_links = site->follow_links;
    spool.registry = run.site.temp_files();
    spool.limits.max_parts = limits.max_fields;
    init_request(run.request, environment, body, ", ", limits, spool);
  } catch (const RequestLimitExceeded& error) {
    end_with_init_failure(run, settings_file, Reason::kTooLarge, error.what(), error.what());
  } catch (const std::bad_alloc& error) {
    end_with_init_failure(run, settings_file, Reason::kTooLarge, error.what(), kTooLargeToDecode);
  } catch (const BodyCutShort& error) {
    // The only initialisation error with a status of its own: a cut body is never
    // answered as if the request had been taken.
    end_with_init_failure(run, settings_file, Reason::kBadRequest, error.what(), error.what(), 400);
  } catch (const MalformedRequest& error) {
    end_with_init_failure(run, settings_file, Reason::kBadRequest, error.what(), error.what());
  } catch (const std::exception& error) {
    end_with_init_failure(run, settings_file, Reason::kFailed, error.what(), kUnexpectedFailure);
  }
}

// The problems of the settings files that `velloc --check` reports, each logged at
// level 1 with its file and line; none stops the run. A worker logs those of each
// version it took since the last run once; a run of its own checks its files.
void log_settings_problems(Run& run, const std::string& settings_file) {
  std::vector<SettingsProblem> problems;
  if (run.site.keeps_last_good_settings())
    problems = run.site.take_new_settings_problems();
  else if (!settings_file.empty())
    problems =
        check_settings(settings_file, run.site.facts().working_directory, CheckLookups::none());
  for (const SettingsProblem& problem : problems)
    log_event(run.message, LogEvent::kSettingsProblem, 1, "Settings problem: %s:%d: %s: %s\n",
              problem.file.c_str(), problem.line,
              problem.severity == SettingsProblem::Severity::kError ? "error" : "warning",
              problem.message.c_str());
}

// After the referer check: a form mail may go only to the allowed recipients; a form
// that names another ends the run before anything is stored or sent.
void check_form_recipients(Run& run) {
  std::optional<std::string> refused = refused_recipient(run);
  if (!refused) return;
  log_event(run.message, 1, "Recipient not allowed: %s\n", refused->c_str());
  fail_request(run.message, kRefusedRecipient, Reason::kRecipient);
}

// What every answer about a form does first: its settings with its profile, the
// debug listing, and the referer and origin checks.
void admit_form_request(Run& run, const std::string& settings_file) {
  load_settings_from(run, settings_file);
  log_settings_problems(run, settings_file);
  run_debug_mode(run);
  if (!check_referer(run)) fail_request(run.message, kRefusedReferer, Reason::kReferer);
  check_request_origin(run);
}

// A request without a single field (a crawler, an uptime check opening the handler's
// address) cannot be a submission: it is told what answers here, and nothing runs. A
// preflight carries no fields and is answered as one.
bool carries_no_field(const Run& run) {
  return run.request.fields.size() == 0 && !is_preflight(run.request);
}

// An answer of the site as a whole, before any form profile: its log, answer format
// and charset from [Velloc].
const settings::SiteSettings& admit_site_request(Run& run, const std::string& settings_file) {
  run.settings.site = run.site.site_settings(settings_file);
  const settings::SiteSettings& site = *run.settings.site;
  attach_log(run, site);
  run.settings.response = site.response;
  run.settings.charset = site.charset;
  run.answer_format = decide_answer_format(run);
  return site;
}

Answer no_fields_answer(Run& run, const std::string& settings_file) {
  const settings::SiteSettings& site = admit_site_request(run, settings_file);
  log_event(run.message, 5, "No form fields: nothing done\n");
  Answer answer = Answer::of(Answer::Kind::kNoFields);
  if (site.health)
    answer.location = run.request.get_env("SCRIPT_NAME") + std::string(kLivenessPath);
  return answer;
}

// The form's room: a submission through every step to its actions and its page.
Answer answer_form(Run& run, const std::string& settings_file) {
  if (carries_no_field(run)) return no_fields_answer(run, settings_file);
  admit_form_request(run, settings_file);
  check_form_recipients(run);
  check_uploads(run);
  resolve_template_paths(run);
  check_required_fields(run);
  check_field_rules(run);
  check_confirm_address(run);
  check_challenge(run);
  check_captcha(run);
  drop_honeypot_submission(run);
  check_content_rules(run);
  check_rate_limits(run);
  score_spam(run);
  apply_form_rules(run);
  archive_submission(run);
  if (run.confirm_expires_at != 0) return hold_for_confirmation(run);
  {
    ActionsUnderway underway(run);
    run_actions(run);
    keep_archive_batch(run);
  }
  return decide_response_page(run);
}

Answer run_steps(Run& run, const char* const* environment, std::istream& body) {
  // Found once: the decoding limits and the settings come from the same file.
  std::string settings_file = request_settings_file(run.site);
  init_request_or_fail(run, environment, body, settings_file);
  init_run_message(run);
  std::shared_ptr<const settings::SiteSettings> site = run.site.site_settings(settings_file);
  run.route =
      choose_route(*site, run.request.get_env("REQUEST_METHOD"), run.request.get_env("PATH_INFO"));
  switch (run.route) {
    case RequestRoute::kInbox:
      return answer_inbox(run, settings_file);
    case RequestRoute::kLiveness:
      return liveness_answer();
    case RequestRoute::kReadiness:
      return answer_readiness(run, settings_file);
    case RequestRoute::kMetrics:
      return answer_metrics(run.site, *site, run.request);
    case RequestRoute::kChallenge:
      admit_form_request(run, settings_file);
      return issue_challenge(run);
    case RequestRoute::kConfirm:
      admit_site_request(run, settings_file);
      return answer_confirmation(run, settings_file);
    case RequestRoute::kForm:
      break;
  }
  return answer_form(run, settings_file);
}

// A fault no step expected (a std::exception or anything else thrown) ends the run
// with the failure page and a log line, never the program.
Answer unexpected_failure(Run& run, const char* what) {
  std::cerr << "velloc: " << what << '\n';
  try {
    fail_request(run.message, kUnexpectedFailure);
  } catch (const RunEnded& ended) {
    return ended.answer;
  } catch (...) {
  }
  return Answer::of(Answer::Kind::kNothing);
}

// Each step decides; only this writes the response.
void respond(Run& run, const Answer& answer, std::ostream& response) {
  try {
    const MessageCatalogue* words = visitor_catalogue(run);
    if (answer.kind == Answer::Kind::kInbox && answer.inbox)
      write_inbox_answer(response, *answer.inbox);
    else if (answer.kind == Answer::Kind::kDocument)
      write_document_answer(response, answer);
    else if (run.answer_format == AnswerFormat::kJson)
      write_json_answer(response, answer, run.request, words);
    else
      write_html_answer(response, answer, run.request, html_content_type(run.settings), words);
  } catch (const std::exception& error) {
    std::cerr << "velloc: " << error.what() << '\n';
  }
}

}  // namespace

int serve_request(Site& site, const char* const* environment, std::istream& body,
                  std::ostream& response) {
  site.begin_request();
  Run run(site);
  run.message.request_id = site.next_request_id();
  run.message.began = std::chrono::steady_clock::now();
  Answer answer;
  try {
    answer = run_steps(run, environment, body);
  } catch (const RunEnded& ended) {
    answer = ended.answer;
  } catch (const std::exception& error) {
    answer = unexpected_failure(run, error.what());
  } catch (...) {
    answer = unexpected_failure(run, "unknown exception");
  }
  // A preflight is answered as one whatever ended its run; every other answer may
  // be read by the origin that AllowedOrigins allowed.
  if (is_preflight(run.request) && answer.kind != Answer::Kind::kPreflight)
    answer = refused_preflight();
  if (answer.kind != Answer::Kind::kPreflight) answer.allow_origin = run.allow_origin;
  respond(run, answer, response);
  response.flush();
  if (MetricsStore* metrics = site.metrics()) count_request(*metrics, run, answer);
  log_request_summary(run, answer);
  return 1;
}

int run_velloc(Site& site, std::ostream& response, const char* const* environment,
               std::istream& body) {
  return serve_request(site, environment, body, response);
}
