#include "velloc/guard/origin_policy.h"

#include <utility>
#include <vector>

#include "platform/text.h"

namespace {

constexpr std::string_view kSchemeEnd = "://";
constexpr std::string_view kNullOrigin = "null";
constexpr std::string_view kAnyOrigin = "*";
constexpr std::size_t kMaxPortDigits = 5;
constexpr unsigned kMaxPort = 65535;
constexpr std::string_view kAllowedRequestHeaders[] = {"Content-Type", "Accept"};

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string lower_ascii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool is_scheme(std::string_view scheme) {
  if (scheme.empty() || !is_letter(scheme.front())) return false;
  for (char c : scheme)
    if (!is_letter(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

bool is_host_name(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host)
    if (!is_letter(c) && !is_digit(c) && c != '-' && c != '.' && c != '_') return false;
  return true;
}

bool is_ip_literal(std::string_view host) {
  if (host.size() < 3 || host.front() != '[' || host.back() != ']') return false;
  for (char c : host.substr(1, host.size() - 2))
    if (!is_hex_digit(c) && c != ':' && c != '.') return false;
  return true;
}

std::optional<unsigned> parse_port(std::string_view text) {
  if (text.empty() || text.size() > kMaxPortDigits) return std::nullopt;
  unsigned port = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port > kMaxPort) return std::nullopt;
  return port;
}

unsigned default_port(std::string_view scheme) {
  if (scheme == "http") return 80;
  if (scheme == "https") return 443;
  return 0;
}

// The position of the colon before a port; npos when the authority has none (the
// colons of an IPv6 literal are inside its brackets).
std::size_t port_colon(std::string_view authority) {
  std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos || authority.front() != '[') return colon;
  std::size_t bracket = authority.find(']');
  return bracket != std::string_view::npos && colon > bracket ? colon : std::string_view::npos;
}

}  // namespace

std::optional<std::string> normalized_origin(std::string_view text) {
  std::size_t scheme_end = text.find(kSchemeEnd);
  if (scheme_end == std::string_view::npos) return std::nullopt;
  std::string scheme = lower_ascii(text.substr(0, scheme_end));
  std::string_view authority = text.substr(scheme_end + kSchemeEnd.size());
  if (!is_scheme(scheme) || authority.empty()) return std::nullopt;
  std::size_t colon = port_colon(authority);
  std::string_view host = authority.substr(0, colon);
  if (!is_host_name(host) && !is_ip_literal(host)) return std::nullopt;
  std::string origin = std::move(scheme);
  origin.append(kSchemeEnd).append(lower_ascii(host));
  if (colon == std::string_view::npos) return origin;
  std::optional<unsigned> port = parse_port(authority.substr(colon + 1));
  if (!port) return std::nullopt;
  if (*port != default_port(origin.substr(0, scheme_end)))
    origin.append(":").append(std::to_string(*port));
  return origin;
}

std::string site_origin(const SiteAddress& site) {
  bool secure = platform::equal_ignoring_case(site.https, "on") || site.https == "1";
  std::string scheme = secure                         ? "https"
                       : !site.request_scheme.empty() ? site.request_scheme
                                                      : "http";
  std::string host = site.http_host;
  if (host.empty()) {
    host = site.server_name;
    if (!host.empty() && !site.server_port.empty()) host.append(":").append(site.server_port);
  }
  if (host.empty()) return {};
  return normalized_origin(scheme.append(kSchemeEnd).append(host)).value_or("");
}

OriginDecision decide_origin(std::string_view origin, std::string_view allowed_origins,
                             std::string_view own_origin) {
  std::vector<std::string> entries = platform::split_at(allowed_origins, ", ");
  if (origin.empty() || entries.empty()) return OriginDecision::kUnchecked;
  bool any = false;
  for (const std::string& entry : entries) any = any || entry == kAnyOrigin;
  if (origin == kNullOrigin) return any ? OriginDecision::kAllowed : OriginDecision::kRefused;
  std::optional<std::string> sent = normalized_origin(origin);
  if (!sent) return OriginDecision::kRefused;
  if (any) return OriginDecision::kAllowed;
  for (const std::string& entry : entries)
    if (normalized_origin(entry) == sent) return OriginDecision::kAllowed;
  if (*sent == own_origin) return OriginDecision::kOwn;
  return OriginDecision::kRefused;
}

std::string preflight_allowed_headers(std::string_view requested) {
  std::string listed;
  std::vector<std::string_view> seen;
  for (const std::string& piece : platform::split_at(requested, ",")) {
    std::string_view name = platform::trim(piece, " \t");
    for (std::string_view allowed : kAllowedRequestHeaders) {
      if (!platform::equal_ignoring_case(name, allowed)) continue;
      bool repeated = false;
      for (std::string_view earlier : seen) repeated = repeated || earlier == allowed;
      if (repeated) break;
      seen.push_back(allowed);
      if (!listed.empty()) listed += ", ";
      listed += name;
    }
  }
  return listed;
}
