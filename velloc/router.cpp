#include "velloc/router.h"

#include "velloc/inbox/inbox_access.h"

namespace {

constexpr std::string_view kReadinessPath = "/readyz";
constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kChallengePath = "/challenge";
constexpr std::string_view kConfirmPath = "/confirm";

}  // namespace

RequestRoute choose_route(const settings::SiteSettings& site, std::string_view method,
                          std::string_view path_info) {
  if (site.inbox && is_inbox_path(path_info)) return RequestRoute::kInbox;
  if (site.health && path_info == kLivenessPath) return RequestRoute::kLiveness;
  if (site.health && path_info == kReadinessPath) return RequestRoute::kReadiness;
  if (site.metrics && path_info == kMetricsPath) return RequestRoute::kMetrics;
  if (method == "GET" && path_info == kChallengePath) return RequestRoute::kChallenge;
  if (method == "GET" && path_info == kConfirmPath) return RequestRoute::kConfirm;
  return RequestRoute::kForm;
}
