#include "velloc/doctor/doctor.h"

#include <algorithm>
#include <map>

#include "velloc/check/settings_check.h"
#include "velloc/doctor/dkim_key_check.h"
#include "velloc/doctor/relay_probe.h"
#include "velloc/doctor/spf_evaluation.h"
#include "velloc/mail/dkim_signer.h"
#include "velloc/mail/sender_choice.h"

namespace {

using Status = DoctorVerdict::Status;

const char* status_word(Status status) {
  return status == Status::kPass ? "pass" : status == Status::kWarn ? "warn" : "fail";
}

DoctorVerdict spf_verdict(DnsLookup& dns, const std::string& domain, const std::string& address,
                          bool* passed) {
  *passed = false;
  if (address.empty())
    return {"spf", Status::kFail, "not evaluated: the relay's address is not known"};
  SpfResult result = evaluate_spf(dns, domain, address);
  using Outcome = SpfResult::Outcome;
  switch (result.outcome) {
    case Outcome::kPass:
      *passed = true;
      return {"spf", Status::kPass,
              domain + "'s SPF record authorises the relay's address " + address + " (" +
                  result.mechanism + ")"};
    case Outcome::kNone:
      return {"spf", Status::kFail,
              domain + " publishes no SPF record: publish TXT \"v=spf1 ip4:" + address +
                  " -all\" (or include: your relay's provider)"};
    case Outcome::kPermError:
    case Outcome::kTempError:
      return {"spf", Status::kFail,
              domain + "'s SPF record cannot be evaluated (" + spf_outcome_name(result.outcome) +
                  ": " + result.why + ")"};
    default:
      break;
  }
  return {"spf", Status::kFail,
          domain + "'s SPF record does not authorise the relay's address " + address + " (" +
              spf_outcome_name(result.outcome) +
              (result.mechanism.empty() ? "" : " at " + result.mechanism) +
              "): add ip4:" + address + " (or include: your relay's provider) before its all"};
}

std::vector<DkimKeySetting> configured_keys(const settings::SiteSettings& site) {
  std::vector<DkimKeySetting> keys;
  if (!site.dkim_selector.empty() || !site.dkim_key_file.empty())
    keys.push_back({site.dkim_selector, site.dkim_key_file, false});
  if (!site.dkim_selector_ed25519.empty() || !site.dkim_key_file_ed25519.empty())
    keys.push_back({site.dkim_selector_ed25519, site.dkim_key_file_ed25519, true});
  return keys;
}

// One verdict per configured key; *signing_domain is d= when every key passed.
std::vector<DoctorVerdict> dkim_verdicts(const settings::SiteSettings& site, DnsLookup& dns,
                                         const std::string& domain, std::string* signing_domain) {
  signing_domain->clear();
  std::vector<DkimKeySetting> keys = configured_keys(site);
  if (keys.empty())
    return {{"dkim", Status::kWarn,
             "velloc signs nothing (no DkimSelector and DkimKeyFile): the mail is signed only if "
             "the relay signs it for " +
                 domain}};
  DkimSettings signing{site.dkim_domain, site.dkim_selector, site.dkim_key_file,
                       site.dkim_selector_ed25519, site.dkim_key_file_ed25519};
  if (std::string problem = dkim_settings_problem(signing); !problem.empty())
    return {{"dkim", Status::kFail, problem + ": no mail is sent until they are"}};
  const std::string& d = site.dkim_domain;
  std::vector<DoctorVerdict> verdicts;
  bool all_passed = true;
  for (const DkimKeySetting& key : keys) {
    if (key.selector.empty() || key.key_file.empty()) {
      verdicts.push_back({"dkim", Status::kFail,
                          std::string(key.ed25519 ? "DkimSelectorEd25519 and DkimKeyFileEd25519"
                                                  : "DkimSelector and DkimKeyFile") +
                              " go together: set both"});
    } else {
      verdicts.push_back(check_dkim_key(dns, d, key));
    }
    all_passed = all_passed && verdicts.back().status == Status::kPass;
  }
  if (all_passed) *signing_domain = d;
  return verdicts;
}

struct DmarcRecord {
  std::string name;  // where it was found
  std::map<std::string, std::string> tags;
};

std::optional<DmarcRecord> find_dmarc(DnsLookup& dns, const std::string& domain,
                                      std::string* failure) {
  std::string organisation = organisational_domain(domain);
  for (const std::string& owner : {domain, organisation}) {
    std::string name = "_dmarc." + owner;
    DnsAnswer answer = dns.ask(name, DnsType::kTxt);
    if (answer.status == DnsAnswer::Status::kFailed) {
      *failure = "the lookup of " + name + " failed (" + answer.error + ")";
      return std::nullopt;
    }
    for (const std::string& record : answer.records) {
      std::map<std::string, std::string> tags = record_tags(record);
      if (tags["v"] == "DMARC1") return DmarcRecord{name, tags};
    }
    if (owner == organisation) break;
  }
  return std::nullopt;
}

DoctorVerdict dmarc_verdict(DnsLookup& dns, const std::string& domain, bool spf_passed,
                            const std::string& signing_domain) {
  std::string failure;
  std::optional<DmarcRecord> record = find_dmarc(dns, domain, &failure);
  if (!record)
    return {"dmarc", Status::kFail,
            failure.empty() ? domain +
                                  " has no DMARC record: publish TXT \"v=DMARC1; p=none; "
                                  "rua=mailto:postmaster@" +
                                  domain + "\" at _dmarc." + domain + ", then tighten p="
                            : failure};
  bool own = record->name == "_dmarc." + domain;
  std::string policy = !own && record->tags.count("sp") ? record->tags["sp"] : record->tags["p"];
  bool spf_aligns = spf_passed && domains_align(domain, domain, record->tags["aspf"] == "s");
  bool dkim_aligns = !signing_domain.empty() &&
                     domains_align(signing_domain, domain, record->tags["adkim"] == "s");
  if (spf_aligns || dkim_aligns)
    return {"dmarc", Status::kPass,
            record->name + " (p=" + policy + "): the mail aligns through " +
                (spf_aligns && dkim_aligns ? "SPF and DKIM"
                 : spf_aligns              ? "SPF (the envelope's domain)"
                                           : "DKIM (d=" + signing_domain + ")")};
  std::string consequence = policy == "reject" || policy == "quarantine"
                                ? "Outlook and Gmail will reject"
                                : "Outlook and Gmail may reject the mail or file it as spam";
  return {"dmarc", Status::kFail,
          consequence + ": neither SPF nor DKIM aligns with From: " + domain + " (" + record->name +
              " p=" + policy + "); authorise the relay in SPF or sign with DkimDomain=" + domain};
}

DoctorVerdict ptr_verdict(DnsLookup& dns, const std::string& address) {
  if (address.empty())
    return {"ptr", Status::kFail, "not checked: the relay's address is not known"};
  DnsAnswer names = dns.ask(reverse_name(address), DnsType::kPtr);
  if (names.status == DnsAnswer::Status::kFailed)
    return {"ptr", Status::kFail,
            "the reverse DNS of the relay's address " + address + " could not be looked up (" +
                names.error + ")"};
  if (names.status != DnsAnswer::Status::kFound)
    return {"ptr", Status::kFail,
            "the relay's address " + address +
                " has no reverse DNS (PTR): ask whoever runs the address to set one that names "
                "the relay"};
  for (const std::string& name : names.records) {
    DnsAnswer back = dns.ask(name, DnsType::kA);
    if (std::find(back.records.begin(), back.records.end(), address) != back.records.end())
      return {"ptr", Status::kPass, address + " is " + name + ", which resolves back to it"};
  }
  return {"ptr", Status::kFail,
          address + " is " + names.records.front() +
              ", which does not resolve back to it: give that name an A record of " + address};
}

std::string json_verdict(const DoctorVerdict& verdict) {
  return "{\"check\": " + json_text(verdict.check) + ", \"status\": \"" +
         status_word(verdict.status) + "\", \"reason\": " + json_text(verdict.reason) + "}";
}

}  // namespace

bool is_doctor_command_line(const std::vector<std::string>& arguments) {
  return !arguments.empty() && arguments[0] == "doctor";
}

std::optional<DoctorOptions> parse_doctor_options(const std::vector<std::string>& arguments,
                                                  std::string* error) {
  DoctorOptions options;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--json") {
      options.json = true;
    } else if (argument == "--settings" || argument == "--send-to") {
      if (i + 1 == arguments.size()) {
        *error = argument + " needs a value";
        return std::nullopt;
      }
      (argument == "--settings" ? options.settings_file : options.send_to) = arguments[++i];
    } else {
      *error = "unknown option of doctor: " + argument;
      return std::nullopt;
    }
  }
  if (!options.send_to.empty() && !is_mail_address(options.send_to)) {
    *error = "--send-to " + options.send_to + ": not an address";
    return std::nullopt;
  }
  return options;
}

std::string doctor_usage() {
  return "  velloc doctor [--settings PATH] [--send-to ADDRESS] [--json]\n"
         "    checks whether the site's mail will be accepted: relay, starttls, auth, spf,\n"
         "    dkim, dmarc, ptr, and with --send-to a test mail (send)\n";
}

std::string organisational_domain(std::string_view domain) {
  std::size_t last = domain.rfind('.');
  if (last == std::string_view::npos || last == 0) return std::string(domain);
  std::size_t before = domain.rfind('.', last - 1);
  return std::string(before == std::string_view::npos ? domain : domain.substr(before + 1));
}

bool domains_align(std::string_view domain, std::string_view from_domain, bool strict) {
  if (strict) return domain == from_domain;
  return organisational_domain(domain) == organisational_domain(from_domain);
}

DoctorVerdict sender_verdict(const settings::SiteSettings& site) {
  std::string domain = address_domain(site.default_sender);
  if (domain.empty())
    return {"sender", Status::kFail,
            "DEFAULTSENDER=" + site.default_sender +
                " is no address: set it to an address of the site's own domain"};
  if (!site.visitor_reply_to)
    return {"sender", Status::kWarn,
            std::string(kVisitorSenderWarning) + "; the checks below are for " + domain};
  return {"sender", Status::kPass,
          "the form mail is from DEFAULTSENDER=" + site.default_sender +
              ", the visitor in Reply-To; the checks below are for " + domain};
}

std::vector<DoctorVerdict> run_doctor(const settings::SiteSettings& site, DnsLookup& dns,
                                      const std::string& send_to) {
  std::vector<DoctorVerdict> verdicts = {sender_verdict(site)};
  RelayReport relay = probe_relay(site, dns, send_to);
  std::vector<DoctorVerdict> sent;
  for (DoctorVerdict& verdict : relay.verdicts)
    (verdict.check == "send" ? sent : verdicts).push_back(std::move(verdict));
  std::string domain = address_domain(site.default_sender);
  if (!domain.empty()) {
    bool spf_passed = false;
    verdicts.push_back(spf_verdict(dns, domain, relay.address, &spf_passed));
    std::string signing_domain;
    for (DoctorVerdict& verdict : dkim_verdicts(site, dns, domain, &signing_domain))
      verdicts.push_back(std::move(verdict));
    verdicts.push_back(dmarc_verdict(dns, domain, spf_passed, signing_domain));
  }
  verdicts.push_back(ptr_verdict(dns, relay.address));
  for (DoctorVerdict& verdict : sent) verdicts.push_back(std::move(verdict));
  return verdicts;
}

int report_verdicts(const std::vector<DoctorVerdict>& verdicts, bool json, std::ostream& out) {
  bool failed = std::any_of(verdicts.begin(), verdicts.end(),
                            [](const DoctorVerdict& v) { return v.status == Status::kFail; });
  if (json) {
    out << "[";
    for (std::size_t i = 0; i < verdicts.size(); ++i)
      out << (i == 0 ? "\n  " : ",\n  ") << json_verdict(verdicts[i]);
    out << "\n]\n";
  } else {
    for (const DoctorVerdict& verdict : verdicts)
      out << verdict.check << ": " << status_word(verdict.status) << ": " << verdict.reason << '\n';
  }
  return failed ? 1 : 0;
}
