// Where a form may send the browser: the redirect fields (REDIRECT, REDIR_MISSING)
// and the back link of the built-in page. Pure decisions over the address text and
// the host names that the request and the settings allow; addresses are read as a
// browser reads them (leading blanks and control characters ignored, "\" taken as
// "/", a host after the last "@").
#pragma once

#include <string>
#include <string_view>

// The hosts a redirect may name. Hosts are compared with their port ("host:port"
// when the address carries one) and without regard to case.
struct RedirectHosts {
  std::string http_host;       // the request's HTTP_HOST
  std::string server_name;     // the request's SERVER_NAME
  std::string referers;        // the Referers setting: entries separated by "," and " "
  std::string redirect_hosts;  // the RedirectHosts setting; an entry "*" allows any host
};

enum class RedirectDecision { kFollow, kRefuse };

// kFollow for a relative address, and for an http(s) or scheme-relative address
// without a backslash whose host is one of `hosts`. An address that is empty once
// control characters and blanks are gone, and every other scheme, are refused.
RedirectDecision decide_redirect(std::string_view address, const RedirectHosts& hosts);

// True when a page may show `address` as a link: relative, http(s) or
// scheme-relative (no "javascript:", "data:" or other scheme).
bool is_safe_link(std::string_view address);

// `text` without control characters (below 0x20, and 0x7F): what a Location
// header may carry.
std::string without_control_characters(std::string_view text);
