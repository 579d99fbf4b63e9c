#include "velloc/guard/address_cleaning.h"

namespace {

constexpr unsigned char kDelete = 0x7f;

bool kept_in_address(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte > ' ' && byte != kDelete && c != '<' && c != '>';
}

}  // namespace

std::string clean_address(std::string_view address) {
  std::string cleaned;
  cleaned.reserve(address.size());
  for (char c : address)
    if (kept_in_address(c)) cleaned.push_back(c);
  return cleaned;
}

void for_each_address(std::string_view value,
                      const std::function<bool(const std::string&)>& visit) {
  std::size_t start = value.find_first_not_of(kAddressListSeparators);
  while (start != std::string_view::npos) {
    std::size_t end = value.find_first_of(kAddressListSeparators, start);
    std::string address = clean_address(value.substr(start, end - start));
    if (!address.empty() && !visit(address)) return;
    start = value.find_first_not_of(kAddressListSeparators, end);
  }
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
