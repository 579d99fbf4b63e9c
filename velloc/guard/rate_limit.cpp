#include "velloc/guard/rate_limit.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

#include "platform/text.h"

namespace {

constexpr std::int64_t kMaxPart = 1'000'000'000;

std::optional<std::int64_t> positive_number(std::string_view text) {
  text = platform::trim(text);
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  if (value < 1 || value > kMaxPart) return std::nullopt;
  return value;
}

}  // namespace

std::optional<RateLimit> parse_rate_limit(std::string_view text) {
  std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::optional<std::int64_t> count = positive_number(text.substr(0, slash));
  std::optional<std::int64_t> seconds = positive_number(text.substr(slash + 1));
  if (!count || !seconds) return std::nullopt;
  return RateLimit{*count, *seconds};
}

RateDecision decide_rate(const RateLimit& limit, const std::vector<std::int64_t>& recent,
                         std::int64_t now) {
  if (static_cast<std::int64_t>(recent.size()) < limit.count) return {};
  // The window must lose this many events before one more fits.
  std::size_t leaving = recent.size() - static_cast<std::size_t>(limit.count);
  std::int64_t free_at = recent[leaving] + limit.seconds * 1000;
  std::int64_t wait = (free_at - now + 999) / 1000;
  return {false, wait < 1 ? 1 : wait};
}

std::string client_group(std::string_view remote_addr) {
  std::string address(platform::trim(remote_addr));
  unsigned char bytes[16];
  if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return address;
  static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  char text[INET6_ADDRSTRLEN] = {};
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    inet_ntop(AF_INET, bytes + 12, text, sizeof text);
    return text;
  }
  std::memset(bytes + 8, 0, 8);
  inet_ntop(AF_INET6, bytes, text, sizeof text);
  return std::string(text) + "/64";
}
