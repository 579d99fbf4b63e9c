#include "velloc/guard/redirect_policy.h"

#include <algorithm>

#include "platform/text.h"

namespace {

// What an address is once read as a browser reads it.
enum class AddressKind { kRelative, kWithHost, kOtherScheme };

struct ReadAddress {
  AddressKind kind = AddressKind::kRelative;
  std::string host;  // with port, after any "user@"; kWithHost only
};

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_scheme_character(char c) {
  return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The scheme before the first ":", lower-cased; empty when the address has none
// (a "/", "?" or "#" before the colon, or characters no scheme may hold).
std::string scheme_of(std::string_view address) {
  std::size_t colon = address.find(':');
  if (colon == 0 || colon == std::string_view::npos) return {};
  std::string_view scheme = address.substr(0, colon);
  if (!is_alpha(scheme.front()) || !std::all_of(scheme.begin(), scheme.end(), is_scheme_character))
    return {};
  std::string lower(scheme);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// The host of the authority at the start of `rest`: any number of leading "/"
// skipped, up to the next "/", "?" or "#", after the last "@".
std::string host_of(std::string_view rest) {
  rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  return std::string(authority);
}

// Control characters dropped, blanks trimmed, backslashes read as slashes.
std::string normalised(std::string_view address) {
  std::string text(platform::trim(without_control_characters(address), " "));
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

ReadAddress read_address(std::string_view address) {
  std::string text = normalised(address);
  if (text.starts_with("//")) return {AddressKind::kWithHost, host_of(text)};
  std::string scheme = scheme_of(text);
  if (scheme.empty()) return {};
  if (scheme != "http" && scheme != "https") return {AddressKind::kOtherScheme, {}};
  return {AddressKind::kWithHost, host_of(std::string_view(text).substr(scheme.size() + 1))};
}

bool listed(std::string_view host, std::string_view list, bool star_allows_any) {
  for (const std::string& entry : platform::split_at(list, ", "))
    if ((star_allows_any && entry == "*") || platform::equal_ignoring_case(entry, host))
      return true;
  return false;
}

bool host_allowed(std::string_view host, const RedirectHosts& hosts) {
  if (host.empty()) return false;
  return platform::equal_ignoring_case(host, hosts.http_host) ||
         platform::equal_ignoring_case(host, hosts.server_name) ||
         listed(host, hosts.referers, false) || listed(host, hosts.redirect_hosts, true);
}

}  // namespace

std::string without_control_characters(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text)
    if (!is_control(c)) kept += c;
  return kept;
}

RedirectDecision decide_redirect(std::string_view address, const RedirectHosts& hosts) {
  if (normalised(address).empty()) return RedirectDecision::kRefuse;
  ReadAddress read = read_address(address);
  bool allowed = read.kind == AddressKind::kRelative ||
                 (read.kind == AddressKind::kWithHost &&
                  address.find('\\') == std::string_view::npos && host_allowed(read.host, hosts));
  return allowed ? RedirectDecision::kFollow : RedirectDecision::kRefuse;
}

bool is_safe_link(std::string_view address) {
  return read_address(address).kind != AddressKind::kOtherScheme;
}
