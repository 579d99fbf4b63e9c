// The router: the request's PATH_INFO decides once which room answers it. The health
// endpoints, the metrics and the inbox are rooms of their own, each only while the
// settings turn it on (otherwise its path is not special and the form answers); the
// challenge is asked for with a GET; everything else is the form.
#pragma once

#include <string_view>

#include "velloc/settings/site_settings.h"

enum class RequestRoute {
  kForm,
  kInbox,      // "/inbox" and below, with Inbox=1
  kChallenge,  // a GET of "/challenge"
  kConfirm,    // a GET of "/confirm": a confirmation link opened
  kLiveness,   // "/healthz", with Health=1
  kReadiness,  // "/readyz", with Health=1
  kMetrics,    // "/metrics", with Metrics=1
};

RequestRoute choose_route(const settings::SiteSettings& site, std::string_view method,
                          std::string_view path_info);

// The path of the liveness endpoint, as the page of a request without fields names it.
inline constexpr std::string_view kLivenessPath = "/healthz";
