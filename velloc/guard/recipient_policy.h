// Who may receive the form mail: the decision that keeps the form from being an
// open relay. Pure: it looks only at the addresses and the rules given.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct RecipientRules {
  std::string default_recipient;  // the DefaultRecipient setting: always allowed
  // The AllowedRecipients setting, nullopt when the key is absent: addresses, "@domain"
  // entries and "*" (any address).
  std::optional<std::string> allowed_recipients;
  // The request's SERVER_NAME; its domain (without a leading "www.") is allowed only
  // when AllowedRecipients is absent.
  std::string server_name;
};

struct RecipientDecision {
  bool allowed = true;
  std::string refused_address;  // the first address refused
};

// Every address of `recipient_list` (a form's list, see address_cleaning.h) must be
// "webmaster", an address of the default recipient, or match
// an entry of AllowedRecipients (or, without that key, the server's domain).
// Comparisons ignore case. A domain rule matches only a plain local part: one that
// holds no "@", "%", "!", ":" or quote, which mail servers could read as a route on.
RecipientDecision decide_recipients(std::string_view recipient_list, const RecipientRules& rules);
