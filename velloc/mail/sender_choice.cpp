#include "velloc/mail/sender_choice.h"

#include <algorithm>

namespace {

// Letters, digits, "-", "_", and the bytes of a UTF-8 (internationalised) name.
bool is_label_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

// Labels joined by single dots; a final dot (the root) is allowed.
bool is_domain(std::string_view domain) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  if (domain.empty()) return false;
  std::size_t label = 0;
  for (char c : domain) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (!is_label_character(c)) {
      return false;
    } else {
      ++label;
    }
  }
  return label > 0;
}

}  // namespace

bool is_mail_address(std::string_view value) {
  std::size_t at = value.find('@');
  if (at == std::string_view::npos || at == 0 || value.find('@', at + 1) != std::string_view::npos)
    return false;
  return is_domain(value.substr(at + 1));
}

std::string address_domain(std::string_view address) {
  if (!is_mail_address(address)) return "";
  std::string domain(address.substr(address.find('@') + 1));
  if (domain.back() == '.') domain.pop_back();
  std::transform(domain.begin(), domain.end(), domain.begin(), [](unsigned char c) {
    return static_cast<char>(c | (c >= 'A' && c <= 'Z' ? 0x20 : 0));
  });
  return domain;
}

SenderChoice choose_sender(std::string_view wanted, std::string_view default_sender,
                           bool reply_to_wanted) {
  if (!is_mail_address(wanted)) return {std::string(default_sender), ""};
  if (reply_to_wanted) return {std::string(default_sender), std::string(wanted)};
  return {std::string(wanted), ""};
}
