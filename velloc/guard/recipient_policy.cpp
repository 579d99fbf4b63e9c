#include "velloc/guard/recipient_policy.h"

#include <string_view>

#include "platform/text.h"
#include "velloc/guard/address_cleaning.h"

namespace {

constexpr std::string_view kBuiltInRecipient = "webmaster";
constexpr std::string_view kAnyAddress = "*";
constexpr std::string_view kRoutingCharacters = "@%!:\"";

// The domain of an address whose local part is plain; empty otherwise.
std::string_view plain_domain(std::string_view address) {
  std::size_t at = address.rfind('@');
  if (at == std::string_view::npos || at == 0) return {};
  if (address.substr(0, at).find_first_of(kRoutingCharacters) != std::string_view::npos) return {};
  return address.substr(at + 1);
}

bool in_domain(std::string_view address, std::string_view domain) {
  std::string_view own = plain_domain(address);
  return !own.empty() && platform::equal_ignoring_case(own, domain);
}

bool matches_entry(std::string_view address, std::string_view entry) {
  if (entry == kAnyAddress) return true;
  if (entry.starts_with('@')) return entry.size() > 1 && in_domain(address, entry.substr(1));
  return platform::equal_ignoring_case(address, entry);
}

std::string_view site_domain(std::string_view server_name) {
  if (server_name.size() > 4 && platform::equal_ignoring_case(server_name.substr(0, 4), "www."))
    server_name.remove_prefix(4);
  return server_name;
}

// The rules with their lists split once, for a check of many addresses.
struct SplitRules {
  explicit SplitRules(const RecipientRules& rules)
      : own(address_list(rules.default_recipient)),
        listed(rules.allowed_recipients.has_value()),
        entries(address_list(rules.allowed_recipients.value_or(""))),
        domain(site_domain(rules.server_name)) {}

  bool allow(std::string_view address) const {
    if (platform::equal_ignoring_case(address, kBuiltInRecipient)) return true;
    for (const std::string& mine : own)
      if (platform::equal_ignoring_case(address, mine)) return true;
    if (!listed) return !domain.empty() && in_domain(address, domain);
    for (const std::string& entry : entries)
      if (matches_entry(address, entry)) return true;
    return false;
  }

  std::vector<std::string> own;
  bool listed;
  std::vector<std::string> entries;
  std::string_view domain;
};

}  // namespace

RecipientDecision decide_recipients(std::string_view recipient_list, const RecipientRules& rules) {
  SplitRules split(rules);
  RecipientDecision decision;
  for_each_address(recipient_list, [&](const std::string& address) {
    if (split.allow(address)) return true;
    decision = {false, address};
    return false;
  });
  return decision;
}
