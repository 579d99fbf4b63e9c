// The rate-limit policy: "N/SECONDS" limits over a sliding window, and the
// address under which a client is counted. Pure functions; the times of earlier
// submissions come from the state store, the current time from the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct RateLimit {
  std::int64_t count = 0;    // submissions allowed within the window, at least 1
  std::int64_t seconds = 0;  // length of the window, at least 1
};

// "N/SECONDS" with positive whole numbers, blanks around the parts allowed;
// nullopt for anything else.
std::optional<RateLimit> parse_rate_limit(std::string_view text);

struct RateDecision {
  bool allowed = true;
  std::int64_t retry_after_seconds = 0;  // when refused: wait this long, at least 1
};

// `recent` holds the times (milliseconds, ascending) of the accepted
// submissions within the window ending at `now`. Refused when they already
// fill the limit; the retry time is when enough of them have left the window.
RateDecision decide_rate(const RateLimit& limit, const std::vector<std::int64_t>& recent,
                         std::int64_t now);

// The client address as counted: an IPv4 address as it is, an IPv6 address as
// its /64 network ("2001:db8:1:2::/64"), an IPv4-mapped IPv6 address as the
// IPv4 address; any other text trimmed, as it is.
std::string client_group(std::string_view remote_addr);
