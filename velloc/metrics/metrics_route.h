// The metrics' room: /metrics for a server process, to the clients MetricsAllow lists
// or that carry MetricsToken; every other request, and every request of a process that
// counts nothing (a CGI run), is answered 404 as if there were no metrics.
#pragma once

#include "velloc/answer.h"
#include "velloc/request/cgi_request.h"
#include "velloc/settings/site_settings.h"

class Site;

Answer answer_metrics(Site& site, const settings::SiteSettings& settings,
                      const CgiRequest& request);

// The 404 of a path that is not there for this client.
Answer not_found_answer();
