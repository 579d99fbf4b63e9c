#include "velloc/doctor/spf_evaluation.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace {

constexpr int kMaxLookups = 10;
constexpr int kMaxMxNames = 10;
using Outcome = SpfResult::Outcome;

struct Address {
  bool ipv6 = false;
  unsigned char bytes[16] = {};
};

bool parse_address(const std::string& text, Address* address) {
  if (inet_pton(AF_INET, text.c_str(), address->bytes) == 1) return true;
  address->ipv6 = true;
  return inet_pton(AF_INET6, text.c_str(), address->bytes) == 1;
}

// Whether the first `bits` bits of two addresses of one family agree.
bool same_prefix(const Address& a, const Address& b, int bits) {
  if (a.ipv6 != b.ipv6) return false;
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    unsigned char mask = bits >= 8 ? 0xff : static_cast<unsigned char>(0xff << (8 - bits));
    if ((a.bytes[i] & mask) != (b.bytes[i] & mask)) return false;
  }
  return true;
}

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

struct Evaluation {
  DnsLookup& dns;
  Address sender;
  int lookups = 0;
};

// A term's domain and prefix lengths: "a:example.com/24//64" and its parts.
struct Target {
  std::string domain;
  int bits4 = 32;
  int bits6 = 128;
  bool valid = true;
};

Target target_of(std::string_view rest, const std::string& current) {
  Target target;
  std::size_t slash = rest.find('/');
  std::string_view domain = rest.substr(0, slash);
  if (domain.starts_with(":")) domain.remove_prefix(1);
  target.domain = domain.empty() ? current : lower(std::string(domain));
  if (slash == std::string_view::npos) return target;
  std::string_view lengths = rest.substr(slash + 1);
  std::size_t second = lengths.find("//");
  std::string four(lengths.substr(0, second));
  std::string six = second == std::string_view::npos ? "" : std::string(lengths.substr(second + 2));
  if (lengths.starts_with("/")) {
    four.clear();
    six = std::string(lengths.substr(1));
  }
  if (!four.empty()) target.bits4 = std::atoi(four.c_str());
  if (!six.empty()) target.bits6 = std::atoi(six.c_str());
  target.valid =
      target.bits4 >= 0 && target.bits4 <= 32 && target.bits6 >= 0 && target.bits6 <= 128;
  return target;
}

// Whether one of the addresses of `name` matches the sender. Sets *temporary on a
// failed lookup.
bool addresses_match(Evaluation& evaluation, const std::string& name, const Target& target,
                     bool* temporary) {
  DnsType type = evaluation.sender.ipv6 ? DnsType::kAaaa : DnsType::kA;
  DnsAnswer answer = evaluation.dns.ask(name, type);
  if (answer.status == DnsAnswer::Status::kFailed) *temporary = true;
  for (const std::string& text : answer.records) {
    Address address;
    if (parse_address(text, &address) &&
        same_prefix(address, evaluation.sender,
                    evaluation.sender.ipv6 ? target.bits6 : target.bits4))
      return true;
  }
  return false;
}

SpfResult check_host(Evaluation& evaluation, const std::string& domain, int depth);

// The SPF record of `domain`: its one "v=spf1" TXT record.
std::optional<std::string> spf_record(Evaluation& evaluation, const std::string& domain,
                                      SpfResult* result) {
  DnsAnswer answer = evaluation.dns.ask(domain, DnsType::kTxt);
  if (answer.status == DnsAnswer::Status::kFailed) {
    *result = {Outcome::kTempError, "",
               "the lookup of " + domain + " failed (" + answer.error + ")"};
    return std::nullopt;
  }
  std::vector<std::string> records;
  for (const std::string& record : answer.records) {
    std::string start = lower(record.substr(0, 7));
    if (start == "v=spf1" || start == "v=spf1 ") records.push_back(record);
  }
  if (records.size() > 1) {
    *result = {Outcome::kPermError, "", domain + " publishes more than one SPF record"};
    return std::nullopt;
  }
  if (records.empty()) {
    *result = {Outcome::kNone, "", ""};
    return std::nullopt;
  }
  return records[0];
}

Outcome qualifier_outcome(char qualifier) {
  switch (qualifier) {
    case '-':
      return Outcome::kFail;
    case '~':
      return Outcome::kSoftFail;
    case '?':
      return Outcome::kNeutral;
  }
  return Outcome::kPass;
}

// Whether `mechanism` (without qualifier) matches; nullopt with *result set when the
// evaluation ends with an error there.
std::optional<bool> mechanism_matches(Evaluation& evaluation, const std::string& mechanism,
                                      const std::string& domain, int depth, SpfResult* result) {
  std::string name = lower(mechanism.substr(0, mechanism.find_first_of(":/")));
  std::string_view rest = std::string_view(mechanism).substr(name.size());
  if (name == "all") return true;
  if (name == "ip4" || name == "ip6") {
    // "ip4:ADDRESS[/LENGTH]", "ip6:ADDRESS[/LENGTH]": the one length is the family's.
    std::string_view value = rest.substr(rest.starts_with(":") ? 1 : 0);
    std::size_t slash = value.find('/');
    Address network;
    bool ipv6 = name == "ip6";
    int bits = ipv6 ? 128 : 32;
    if (slash != std::string_view::npos) {
      std::string length(value.substr(slash + 1));
      bits = length.empty() || length.find_first_not_of("0123456789") != std::string::npos
                 ? -1
                 : std::atoi(length.c_str());
    }
    if (!parse_address(std::string(value.substr(0, slash)), &network) || network.ipv6 != ipv6 ||
        bits < 0 || bits > (ipv6 ? 128 : 32)) {
      *result = {Outcome::kPermError, mechanism, "a malformed " + name + " term: " + mechanism};
      return std::nullopt;
    }
    return same_prefix(network, evaluation.sender, bits);
  }
  if (name != "a" && name != "mx" && name != "include" && name != "exists" && name != "ptr") {
    *result = {Outcome::kPermError, mechanism, "an unknown term: " + mechanism};
    return std::nullopt;
  }
  if (++evaluation.lookups > kMaxLookups) {
    *result = {Outcome::kPermError, mechanism,
               "more than 10 terms that ask DNS (include, a, mx, exists, redirect)"};
    return std::nullopt;
  }
  Target target = target_of(rest, domain);
  if (!target.valid) {
    *result = {Outcome::kPermError, mechanism, "a malformed prefix length: " + mechanism};
    return std::nullopt;
  }
  if (target.domain.find('%') != std::string::npos || name == "ptr") return false;
  bool temporary = false;
  bool matched = false;
  if (name == "a") {
    matched = addresses_match(evaluation, target.domain, target, &temporary);
  } else if (name == "exists") {
    matched = evaluation.dns.ask(target.domain, DnsType::kA).status == DnsAnswer::Status::kFound;
  } else if (name == "mx") {
    DnsAnswer exchanges = evaluation.dns.ask(target.domain, DnsType::kMx);
    temporary = exchanges.status == DnsAnswer::Status::kFailed;
    int asked = 0;
    for (const std::string& exchange : exchanges.records)
      if (!matched && ++asked <= kMaxMxNames)
        matched = addresses_match(evaluation, exchange, target, &temporary);
  } else {
    SpfResult included = check_host(evaluation, target.domain, depth + 1);
    if (included.outcome == Outcome::kTempError || included.outcome == Outcome::kPermError ||
        included.outcome == Outcome::kNone) {
      *result = included;
      if (included.outcome == Outcome::kNone)
        *result = {Outcome::kPermError, mechanism, target.domain + " (included) has no SPF record"};
      return std::nullopt;
    }
    return included.outcome == Outcome::kPass;
  }
  if (!matched && temporary) {
    *result = {Outcome::kTempError, mechanism, "a lookup of " + mechanism + " failed"};
    return std::nullopt;
  }
  return matched;
}

SpfResult check_host(Evaluation& evaluation, const std::string& domain, int depth) {
  SpfResult result;
  std::optional<std::string> record = spf_record(evaluation, domain, &result);
  if (!record) return result;
  std::string redirect;
  for (const std::string& term : platform::split_at(record->substr(6), " ")) {
    if (term.empty()) continue;
    std::size_t equals = term.find('=');
    if (equals != std::string::npos && term.find_first_of(":/") > equals) {
      if (lower(term.substr(0, equals)) == "redirect") redirect = lower(term.substr(equals + 1));
      continue;
    }
    bool qualified = term.find_first_of("+-~?") == 0;
    std::string mechanism = qualified ? term.substr(1) : term;
    std::optional<bool> matched = mechanism_matches(evaluation, mechanism, domain, depth, &result);
    if (!matched) return result;
    if (*matched) return {qualifier_outcome(qualified ? term[0] : '+'), term, ""};
  }
  if (redirect.empty()) return {Outcome::kNeutral, "", ""};
  if (++evaluation.lookups > kMaxLookups)
    return {Outcome::kPermError, "redirect=" + redirect,
            "more than 10 terms that ask DNS (include, a, mx, exists, redirect)"};
  result = check_host(evaluation, redirect, depth + 1);
  if (result.outcome == Outcome::kNone)
    return {Outcome::kPermError, "redirect=" + redirect, redirect + " has no SPF record"};
  return result;
}

}  // namespace

SpfResult evaluate_spf(DnsLookup& dns, const std::string& domain, const std::string& address) {
  Evaluation evaluation{dns, {}};
  if (!parse_address(address, &evaluation.sender))
    return {Outcome::kPermError, "", address + " is no IP address"};
  return check_host(evaluation, lower(domain), 0);
}

const char* spf_outcome_name(SpfResult::Outcome outcome) {
  switch (outcome) {
    case Outcome::kPass:
      return "pass";
    case Outcome::kFail:
      return "fail";
    case Outcome::kSoftFail:
      return "softfail";
    case Outcome::kNeutral:
      return "neutral";
    case Outcome::kNone:
      return "none";
    case Outcome::kPermError:
      return "permerror";
    case Outcome::kTempError:
      break;
  }
  return "temperror";
}
