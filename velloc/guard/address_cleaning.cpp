#include "velloc/guard/address_cleaning.h"

#include <algorithm>

namespace {

constexpr unsigned char kDelete = 0x7f;
constexpr std::size_t kShownStart = 64;

bool kept_in_address(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte > ' ' && byte != kDelete && c != '<' && c != '>';
}

// Calls visit(address) for every non-empty cleaned address of a list until it
// returns false.
void for_each_cleaned(std::string_view value,
                      const std::function<bool(const std::string&)>& visit) {
  std::size_t start = value.find_first_not_of(kAddressListSeparators);
  while (start != std::string_view::npos) {
    std::size_t end = value.find_first_of(kAddressListSeparators, start);
    std::string address = clean_address(value.substr(start, end - start));
    if (!address.empty() && !visit(address)) return;
    start = value.find_first_not_of(kAddressListSeparators, end);
  }
}

}  // namespace

std::string clean_address(std::string_view address) {
  std::string cleaned;
  cleaned.reserve(address.size());
  for (char c : address)
    if (kept_in_address(c)) cleaned.push_back(c);
  return cleaned;
}

bool address_fits_smtp(std::string_view address) {
  std::size_t at = address.rfind('@');
  std::size_t local_part = at == std::string_view::npos ? address.size() : at;
  return local_part <= kMaxLocalPart && address.size() + 2 <= kMaxPath;
}

std::string overlong_address_note(std::string_view address) {
  std::string note =
      "Address too long for mail, passed over (" + std::to_string(address.size()) + " octets): ";
  return note.append(address.substr(0, std::min(address.size(), kShownStart))).append("...");
}

void for_each_address(std::string_view value,
                      const std::function<bool(const std::string&)>& visit) {
  for_each_cleaned(value, [&](const std::string& address) {
    return !address_fits_smtp(address) || visit(address);
  });
}

void for_each_overlong_address(std::string_view value,
                               const std::function<void(std::string_view)>& note) {
  for_each_cleaned(value, [&](const std::string& address) {
    if (!address_fits_smtp(address)) note(address);
    return true;
  });
}

std::vector<std::string> address_list(std::string_view value) {
  std::vector<std::string> addresses;
  for_each_address(value, [&](const std::string& address) {
    addresses.push_back(address);
    return true;
  });
  return addresses;
}

std::string first_address(std::string_view value) {
  std::string first;
  for_each_address(value, [&](const std::string& address) {
    first = address;
    return false;
  });
  return first;
}
