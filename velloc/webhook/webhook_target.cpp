#include "velloc/webhook/webhook_target.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/text.h"

namespace {

struct UrlParts {
  std::string_view scheme;     // before "://"
  std::string_view userinfo;   // before the last "@" of the authority, without it
  std::string_view host_port;  // the rest of the authority
  std::string_view path;       // from the authority's end up to "?" or "#"
  bool has_query = false;      // a "?" or "#" follows
};

std::optional<UrlParts> split_url(std::string_view url) {
  std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return std::nullopt;
  UrlParts parts;
  parts.scheme = url.substr(0, scheme_end);
  std::string_view rest = url.substr(scheme_end + 3);
  std::size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view authority = rest.substr(0, authority_end);
  if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    parts.userinfo = authority.substr(0, at);
    authority.remove_prefix(at + 1);
  }
  parts.host_port = authority;
  rest.remove_prefix(authority_end);
  std::size_t query = std::min(rest.find_first_of("?#"), rest.size());
  parts.path = rest.substr(0, query);
  parts.has_query = query < rest.size();
  return parts;
}

// The host of "host", "host:port", "[v6]" or "[v6]:port".
std::string_view host_of(std::string_view host_port) {
  if (host_port.starts_with('[')) {
    std::size_t close = host_port.find(']');
    return close == std::string_view::npos ? host_port : host_port.substr(0, close + 1);
  }
  return host_port.substr(0, std::min(host_port.find(':'), host_port.size()));
}

bool has_blank_or_control(std::string_view url) {
  for (char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return true;
  return false;
}

WebhookTarget refused(std::string shown, const char* why) {
  WebhookTarget target;
  target.shown = std::move(shown);
  target.refusal = why;
  return target;
}

}  // namespace

bool is_loopback_host(std::string_view host) {
  if (platform::equal_ignoring_case(host, "localhost")) return true;
  std::string text(host);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    text = host.substr(1, host.size() - 2);
    in6_addr address6;
    return inet_pton(AF_INET6, text.c_str(), &address6) == 1 &&
           std::memcmp(&address6, &in6addr_loopback, sizeof address6) == 0;
  }
  in_addr address4;
  return inet_pton(AF_INET, text.c_str(), &address4) == 1 && (ntohl(address4.s_addr) >> 24) == 127;
}

std::string url_without_credentials(std::string_view url) {
  std::optional<UrlParts> parts = split_url(url);
  if (!parts) {
    url = url.substr(0, std::min(url.find_first_of("?#"), url.size()));
    std::size_t at = url.rfind('@');
    return std::string(at == std::string_view::npos ? url : url.substr(at + 1));
  }
  std::string shown = std::string(parts->scheme).append("://");
  shown.append(parts->host_port).append(parts->path);
  if (parts->has_query) shown += "?...";
  return shown;
}

WebhookTarget decide_webhook_target(std::string_view url, bool allow_plain) {
  std::string shown = url_without_credentials(url);
  std::optional<UrlParts> parts = split_url(url);
  if (!parts || has_blank_or_control(url)) return refused(shown, "not an address");
  std::string_view host = host_of(parts->host_port);
  if (host.empty() || host == "[]") return refused(shown, "no host");
  bool https = platform::equal_ignoring_case(parts->scheme, "https");
  bool http = platform::equal_ignoring_case(parts->scheme, "http");
  if (!https && !http) return refused(shown, "only https and http addresses can be called");
  if (http && !allow_plain && !is_loopback_host(host))
    return refused(shown,
                   "plain http is allowed only to this machine (WebhookAllowPlain=1 allows it)");
  WebhookTarget target;
  target.allowed = true;
  target.plain = http;
  target.shown = std::move(shown);
  return target;
}
