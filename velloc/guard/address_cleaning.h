// Mail addresses as form values give them: a list is split at blanks, commas,
// semicolons, "^" and line breaks, and every address that reaches MAIL FROM, RCPT TO
// or an address header is cleaned first, so that no visitor can add envelope
// parameters, angle brackets or line breaks to what the mail server reads. An
// address longer than mail servers accept counts as no address at all: it is
// never cut, never split over two commands.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The separators of an address list in a form field or a setting.
inline constexpr std::string_view kAddressListSeparators = "\r\n ,;^";

// The longest local part and path ("<" address ">") that SMTP allows, in octets.
inline constexpr std::size_t kMaxLocalPart = 64;
inline constexpr std::size_t kMaxPath = 256;

// `address` without any character below 0x21, "<", ">" and DEL.
std::string clean_address(std::string_view address);

// True when the cleaned `address` fits the limits above: its local part (before
// the last "@", the whole address when it has none) and its path.
bool address_fits_smtp(std::string_view address);

// What the log says of an address that does not fit: its length and its start.
std::string overlong_address_note(std::string_view address);

// Calls visit(address) for every cleaned address of a list, in order, until it
// returns false; addresses left empty, or too long (address_fits_smtp), are
// passed over. Holds one address at a time,
// so a huge list costs no more than its longest address.
void for_each_address(std::string_view value, const std::function<bool(const std::string&)>& visit);

// Calls note(address) for every cleaned address of a list that is too long.
void for_each_overlong_address(std::string_view value,
                               const std::function<void(std::string_view)>& note);

// The cleaned addresses of a short list (a setting), in order.
std::vector<std::string> address_list(std::string_view value);

// The first address of address_list(value); empty when there is none.
std::string first_address(std::string_view value);
