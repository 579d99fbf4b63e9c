// The doctor's conversation with the relay: whether its name resolves and it answers
// (relay), offers STARTTLS with a certificate valid for its name (starttls), accepts
// the configured login (auth) and, when asked, takes a test mail (send). One
// connection, bounded as a whole; nothing is kept after it.
#pragma once

#include <string>
#include <vector>

#include "velloc/doctor/dns_lookup.h"
#include "velloc/doctor/doctor_verdict.h"
#include "velloc/settings/site_settings.h"

struct RelayReport {
  std::vector<DoctorVerdict> verdicts;  // relay, starttls, auth, then send when asked
  std::string host;                     // the relay's name as SMTP gives it
  std::string address;                  // its IPv4 address; empty: not resolved
};

// Talks to the relay of `site`, its name asked of `dns`. A test mail goes to
// `send_to` when it is not empty, from DEFAULTSENDER.
RelayReport probe_relay(const settings::SiteSettings& site, DnsLookup& dns,
                        const std::string& send_to);
