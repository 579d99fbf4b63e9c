// Who a mail says it is from. Mailbox providers accept a mail only when the domain of
// its From authenticates it, so a value that is no address never stands there: the
// site's own sender does, and only an address is offered for replies. Pure functions,
// no state.
#pragma once

#include <string>
#include <string_view>

// True when `value` is an address: exactly one "@", something before it, and a
// domain after it (labels of letters, digits, "-", "_" and UTF-8, joined by single dots).
bool is_mail_address(std::string_view value);

// The domain of an address (after its "@"), lower case; empty when it is none.
std::string address_domain(std::string_view address);

struct SenderChoice {
  std::string from;      // the header From, which the envelope follows
  std::string reply_to;  // empty: no Reply-To line
};

// The sender of a mail whose own sender would be `wanted` (the visitor's address):
// with `reply_to_wanted` the site's `default_sender` with `wanted` in Reply-To;
// without, `wanted` itself. A `wanted` that is no address gives `default_sender` and
// no Reply-To either way.
SenderChoice choose_sender(std::string_view wanted, std::string_view default_sender,
                           bool reply_to_wanted);
