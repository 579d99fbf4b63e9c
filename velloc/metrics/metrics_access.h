// Who may read the metrics: a client whose address is on the allow list
// (MetricsAllow, by default the loopback addresses), or one that shows the
// metrics token (MetricsToken) as a bearer token. Pure decisions over the
// request's values and the settings; everyone else is told there is nothing.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// An address and how many of its leading bits a client's must share. IPv4
// networks are kept as IPv4-mapped IPv6 ones (::ffff:a.b.c.d, 96 bits more), so
// that a client an IPv6 socket shows as ::ffff:10.0.0.1 matches 10.0.0.0/8.
struct AddressRange {
  std::array<std::uint8_t, 16> address{};
  int prefix_bits = 128;
};

using MetricsAllowList = std::vector<AddressRange>;

// 127.0.0.0/8 and ::1: the list when MetricsAllow is absent.
MetricsAllowList default_metrics_allow();

// MetricsAllow: IPv4 or IPv6 addresses, each with an optional "/prefix",
// separated by commas, blanks around them ignored; empty items are skipped.
// `*list` gets every good entry; false with `*error` naming each bad one (the
// caller decides whether to go on with the rest).
bool parse_metrics_allow(std::string_view text, MetricsAllowList* list, std::string* error);

// Whether REMOTE_ADDR (an IPv4 or IPv6 literal, an IPv6 zone ignored) is within
// one of the ranges; false for anything that is no address.
bool allow_list_matches(const MetricsAllowList& list, std::string_view remote_address);

// The metrics' settings, as the settings reader gives them.
struct MetricsOptions {
  // Metrics=1: /metrics answers at all. Default: off.
  bool enabled = false;
  // MetricsAllow: who may read them by address. Default: the loopback addresses.
  MetricsAllowList allow = default_metrics_allow();
  // MetricsToken: the bearer token that lets anyone else read them. Default: none.
  std::string token;
};

enum class MetricsAccess {
  kAllowedByAddress,
  kAllowedByToken,
  kDenied,  // answered as if there were no metrics (404)
};

// `authorization` is the request's Authorization header ("Bearer TOKEN", the
// scheme in any case); it is compared with `token` in constant time, and an
// empty `token` lets no one in by token.
MetricsAccess decide_metrics_access(std::string_view remote_address, std::string_view authorization,
                                    const MetricsAllowList& allow, std::string_view token);
// The same, and kDenied for everyone while the metrics are off.
MetricsAccess decide_metrics_access(std::string_view remote_address, std::string_view authorization,
                                    const MetricsOptions& options);
