#include "velloc/metrics/metrics_access.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

namespace {

constexpr int kMappedPrefixBits = 96;
constexpr std::string_view kBlanks = " \t";

std::string_view trim(std::string_view text) {
  std::size_t start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(kBlanks);
  return text.substr(start, end - start + 1);
}

// An IPv4 or IPv6 literal as 16 bytes (IPv4 mapped); `*ipv4` tells which it was.
std::optional<std::array<std::uint8_t, 16>> parse_address(std::string_view text, bool* ipv4) {
  std::string literal(text);
  std::array<std::uint8_t, 16> bytes{};
  *ipv4 = literal.find(':') == std::string::npos;
  if (!*ipv4) {
    if (inet_pton(AF_INET6, literal.c_str(), bytes.data()) != 1) return std::nullopt;
    return bytes;
  }
  if (inet_pton(AF_INET, literal.c_str(), bytes.data() + 12) != 1) return std::nullopt;
  bytes[10] = bytes[11] = 0xff;
  return bytes;
}

std::optional<int> parse_prefix(std::string_view digits, int most) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > most) return std::nullopt;
  return value;
}

std::optional<AddressRange> parse_range(std::string_view entry) {
  std::size_t slash = entry.find('/');
  bool ipv4 = false;
  auto address = parse_address(entry.substr(0, slash), &ipv4);
  if (!address) return std::nullopt;
  AddressRange range{*address, 128};
  if (slash == std::string_view::npos) return range;
  auto prefix = parse_prefix(entry.substr(slash + 1), ipv4 ? 32 : 128);
  if (!prefix) return std::nullopt;
  range.prefix_bits = *prefix + (ipv4 ? kMappedPrefixBits : 0);
  return range;
}

bool within(const AddressRange& range, const std::array<std::uint8_t, 16>& address) {
  int bits = range.prefix_bits;
  for (std::size_t i = 0; bits > 0; ++i, bits -= 8) {
    std::uint8_t mask = bits >= 8 ? 0xff : static_cast<std::uint8_t>(0xff << (8 - bits));
    if ((range.address[i] & mask) != (address[i] & mask)) return false;
  }
  return true;
}

// Compares every byte whatever the first difference, so that the time taken
// tells nothing of how much of a token was right.
bool same_in_constant_time(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// The token of "Bearer TOKEN"; empty for another scheme or none.
std::string_view bearer_token(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer";
  authorization = trim(authorization);
  if (authorization.size() <= kScheme.size() ||
      kBlanks.find(authorization[kScheme.size()]) == std::string_view::npos)
    return {};
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    char c = authorization[i];
    if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kScheme[i]) return {};
  }
  return trim(authorization.substr(kScheme.size()));
}

}  // namespace

MetricsAllowList default_metrics_allow() {
  MetricsAllowList list;
  parse_metrics_allow("127.0.0.0/8, ::1", &list, nullptr);
  return list;
}

bool parse_metrics_allow(std::string_view text, MetricsAllowList* list, std::string* error) {
  list->clear();
  std::string bad;
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view entry = trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (entry.empty()) continue;
    if (auto range = parse_range(entry)) {
      list->push_back(*range);
    } else {
      bad += (bad.empty() ? "\"" : ", \"") + std::string(entry) + "\"";
    }
  }
  if (bad.empty()) return true;
  if (error != nullptr) *error = "MetricsAllow: not an address or network: " + bad;
  return false;
}

bool allow_list_matches(const MetricsAllowList& list, std::string_view remote_address) {
  remote_address = remote_address.substr(0, remote_address.find('%'));
  if (remote_address.find('/') != std::string_view::npos) return false;
  bool ipv4 = false;
  auto address = parse_address(remote_address, &ipv4);
  if (!address) return false;
  return std::any_of(list.begin(), list.end(),
                     [&](const AddressRange& range) { return within(range, *address); });
}

MetricsAccess decide_metrics_access(std::string_view remote_address, std::string_view authorization,
                                    const MetricsAllowList& allow, std::string_view token) {
  if (allow_list_matches(allow, remote_address)) return MetricsAccess::kAllowedByAddress;
  std::string_view shown = bearer_token(authorization);
  if (!token.empty() && !shown.empty() && same_in_constant_time(shown, token))
    return MetricsAccess::kAllowedByToken;
  return MetricsAccess::kDenied;
}

MetricsAccess decide_metrics_access(std::string_view remote_address, std::string_view authorization,
                                    const MetricsOptions& options) {
  if (!options.enabled) return MetricsAccess::kDenied;
  return decide_metrics_access(remote_address, authorization, options.allow, options.token);
}
