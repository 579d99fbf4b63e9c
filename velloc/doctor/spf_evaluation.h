// Whether a domain's SPF record authorises an address to send its mail: the record is
// evaluated as a receiver does (ip4, ip6, a, mx, include, redirect, exists, all), with
// at most 10 terms that ask DNS, as the SPF rules allow. Macros are not expanded (a
// term that holds one never matches). Asks only through the DnsLookup given.
#pragma once

#include <string>

#include "velloc/doctor/dns_lookup.h"

struct SpfResult {
  enum class Outcome { kPass, kFail, kSoftFail, kNeutral, kNone, kPermError, kTempError };
  Outcome outcome = Outcome::kNone;
  std::string mechanism;  // the term that decided, e.g. "ip4:192.0.2.0/24" or "-all"
  std::string why;        // for a permanent or temporary error
};

// The result of `domain`'s SPF record for mail from `address` (IPv4 or IPv6 text).
SpfResult evaluate_spf(DnsLookup& dns, const std::string& domain, const std::string& address);

// "pass", "fail", "softfail", ...
const char* spf_outcome_name(SpfResult::Outcome outcome);
