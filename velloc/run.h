// The objects of one run of the CGI program, owned by the entry point and handed
// to every pipeline step, and the signal by which a step ends the run.
#pragma once

#include <iosfwd>
#include <memory>

#include "velloc/guard/state_store.h"
#include "velloc/mail/mail_message.h"
#include "velloc/request/cgi_request.h"
#include "velloc/request/settings.h"
#include "velloc/templates/template_engine.h"
#include "velloc/templates/template_paths.h"

// Thrown by a step that has written the run's response to Run::response; the entry
// point catches it, flushes the response and exits with status 1.
struct RunEnded {};

struct Run {
  explicit Run(std::ostream& response_stream) : response(response_stream) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  CgiRequest request;
  MailMessage message;
  Settings settings;
  TemplatePaths templates;
  TemplateState template_state;
  std::ostream& response;                   // standard output in the product
  std::unique_ptr<StateStore> state_store;  // opened at first use, when the settings ask for it
};
