// `velloc doctor`: tells the operator, before the first visitor does, whether the
// site's mail will be accepted: the relay (relay, starttls, auth), the sender
// domain's SPF, DKIM and DMARC records against what velloc sends, the relay's
// reverse DNS and, when asked, a test mail (send). Every DNS question goes through
// one DnsLookup (DnsServer's server, else the system's resolver), each bounded.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/doctor/dns_lookup.h"
#include "velloc/doctor/doctor_verdict.h"
#include "velloc/settings/site_settings.h"

// The command line: doctor [--settings PATH] [--send-to ADDRESS] [--json].
struct DoctorOptions {
  std::string settings_file;  // empty: found as a web run finds it
  std::string send_to;        // empty: no test mail
  bool json = false;
};

// Whether `arguments` (without the program name) ask for the doctor.
bool is_doctor_command_line(const std::vector<std::string>& arguments);

// nullopt with `error` set for an unknown option or a missing value.
std::optional<DoctorOptions> parse_doctor_options(const std::vector<std::string>& arguments,
                                                  std::string* error);

// The lines of --help about the doctor.
std::string doctor_usage();

// The domain a receiver takes as the organisation of `domain`: its last two labels
// (without a list of public suffixes, "example.co.uk" stays "co.uk").
std::string organisational_domain(std::string_view domain);

// Whether mail signed or sent by `domain` aligns with From: `from_domain` under
// DMARC: the same domain when `strict`, else the same organisational domain.
bool domains_align(std::string_view domain, std::string_view from_domain, bool strict);

// The verdict on who the form mail is from (check "sender"): a warning while
// VisitorReplyTo is off, a failure when DEFAULTSENDER is no address.
DoctorVerdict sender_verdict(const settings::SiteSettings& site);

// Every check of the site, in the order of the report.
std::vector<DoctorVerdict> run_doctor(const settings::SiteSettings& site, DnsLookup& dns,
                                      const std::string& send_to);

// Writes one line per verdict ("CHECK: pass|warn|fail: reason"), or with `json` one
// array of {"check", "status", "reason"}. Returns 1 when a check failed, else 0.
int report_verdicts(const std::vector<DoctorVerdict>& verdicts, bool json, std::ostream& out);
