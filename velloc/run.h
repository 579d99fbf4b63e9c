// The objects of one run (one submission), owned by the entry point and handed to
// every pipeline step, and the signal by which a step ends the run. What outlives
// the run belongs to the Site.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velloc/answer.h"
#include "velloc/guard/state_store.h"
#include "velloc/mail/mail_message.h"
#include "velloc/request/cgi_request.h"
#include "velloc/response/negotiation.h"
#include "velloc/router.h"
#include "velloc/settings/form_settings.h"
#include "velloc/site.h"
#include "velloc/templates/template_engine.h"
#include "velloc/templates/template_set.h"

struct ArchiveBatch;

struct Run {
  explicit Run(Site& process_site) : site(process_site) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Site& site;  // the process's; outlives the run
  CgiRequest request;
  MailMessage message;
  Settings settings;
  TemplatePaths templates;
  TemplateState template_state;
  // The request's Origin when AllowedOrigins allows it: every answer of the run
  // may be read from there. Empty: no CORS headers.
  std::string allow_origin;
  // How the run answers: from the request's headers once it is decoded, then from
  // the Response setting of the settings and the form profile (decide_answer_format).
  AnswerFormat answer_format = AnswerFormat::kHtml;
  // The fields as the visitor sent them, taken where a form profile applies
  // (before its entries replace the control fields, without the field that named
  // it) or the archive keeps the submission (before the defaults of the settings
  // join them); nullopt otherwise, and the request's fields are the visitor's.
  std::optional<FieldMap> visitor_fields;
  // The id under which the archive keeps this submission; empty when it does not.
  std::string archive_id;
  // When the archive keeps it awaiting its visitor's confirmation: the moment its
  // link expires and it is purged, in seconds since the epoch; 0 otherwise.
  std::int64_t confirm_expires_at = 0;
  // Queue mode: the submission's record, kept whole once its actions end; null when
  // each step writes its part at once.
  std::shared_ptr<ArchiveBatch> archive_batch;
  // The actions ("database", "text_export", "form_mail", "receipt", "webhook")
  // that run_actions leaves out: recorded already by a run that was killed.
  std::vector<std::string> actions_done;
  // The spam filter's score of the form mail, for its X-Spam-Score line; empty
  // when it was not scored.
  std::string spam_score;
  // The tags the profile's rules gave the submission, kept with it in the archive.
  std::vector<std::string> tags;
  // The room the router chose for the request.
  RequestRoute route = RequestRoute::kForm;
  // The check that judged the submission spam ("honeypot", "spam_filter",
  // "content_rules"), for the request's log line; empty when none did.
  std::string spam_check;
  // Made by an operator's command or the inbox to send what the archive kept: no
  // visitor, so no form profile is asked for (ProfilesOnly).
  bool sends_only = false;
  // Made by `velloc simulate`: every decision is taken, nothing is stored, sent or
  // called, and the log is left alone (the receipt number is read, not advanced).
  bool dry_run = false;
};
