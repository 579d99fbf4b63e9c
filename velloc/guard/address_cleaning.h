// Mail addresses as form values give them: a list is split at blanks, commas,
// semicolons, "^" and line breaks, and every address that reaches MAIL FROM, RCPT TO
// or an address header is cleaned first, so that no visitor can add envelope
// parameters, angle brackets or line breaks to what the mail server reads.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The separators of an address list in a form field or a setting.
inline constexpr std::string_view kAddressListSeparators = "\r\n ,;^";

// `address` without any character below 0x21, "<", ">" and DEL.
std::string clean_address(std::string_view address);

// Calls visit(address) for every cleaned address of a list, in order, until it
// returns false; addresses left empty are passed over. Holds one address at a time,
// so a huge list costs no more than its longest address.
void for_each_address(std::string_view value, const std::function<bool(const std::string&)>& visit);

// The cleaned addresses of a short list (a setting), in order.
std::vector<std::string> address_list(std::string_view value);

// The first address of address_list(value); empty when there is none.
std::string first_address(std::string_view value);
