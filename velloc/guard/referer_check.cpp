#include "velloc/guard/referer_check.h"

#include <optional>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "velloc/run.h"

namespace {

constexpr std::size_t kMaxRefererLength = 1999;

}  // namespace

namespace {

// The referer without its "http://" or "https://" (either in any case); nullopt
// for any other scheme and for text that is not an absolute address.
std::optional<std::string_view> after_web_scheme(std::string_view referer) {
  for (std::string_view scheme : {"http://", "https://"})
    if (referer.size() >= scheme.size() &&
        platform::equal_ignoring_case(referer.substr(0, scheme.size()), scheme))
      return referer.substr(scheme.size());
  return std::nullopt;
}

}  // namespace

std::string referer_host(const std::string& referer) {
  std::string_view considered = std::string_view(referer).substr(0, kMaxRefererLength);
  std::optional<std::string_view> rest = after_web_scheme(considered);
  if (!rest) return {};
  std::size_t end = rest->find_first_of("/?#");
  // An authority that runs past the considered characters is not known whole.
  if (end == std::string_view::npos && referer.size() > kMaxRefererLength) return {};
  return std::string(rest->substr(0, end));
}

bool check_referer(const Run& run) {
  const std::string& referers = run.settings.referers;
  if (referers.empty()) return true;
  std::string referer = run.request.get_env("HTTP_REFERER");
  // A page served with "Referrer-Policy: no-referrer" still tells its origin; "null"
  // names no page.
  if (referer.empty()) {
    referer = run.request.get_env("HTTP_ORIGIN");
    if (referer == "null") return false;
  }
  if (referer.empty()) return false;
  std::vector<std::string> allowed = platform::split_at(referers, ", ");
  if (allowed.empty()) return true;
  std::string host = referer_host(referer);
  for (const std::string& entry : allowed)
    if (platform::equal_ignoring_case(entry, host)) return true;
  return false;
}
