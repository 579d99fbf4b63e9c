#include "velloc/doctor/dns_lookup.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>

#include "velloc/doctor/ldns_library.h"

namespace {

constexpr std::uint16_t kDnsPort = 53;

ldns_rr_type rr_type(DnsType type) {
  switch (type) {
    case DnsType::kA:
      return LDNS_RR_TYPE_A;
    case DnsType::kAaaa:
      return LDNS_RR_TYPE_AAAA;
    case DnsType::kTxt:
      return LDNS_RR_TYPE_TXT;
    case DnsType::kMx:
      return LDNS_RR_TYPE_MX;
    case DnsType::kPtr:
      break;
  }
  return LDNS_RR_TYPE_PTR;
}

std::string lower_name(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

struct ServerAddress {
  std::string address;
  std::uint16_t port = kDnsPort;
  bool ipv6 = false;
};

// "a.b.c.d[:port]", "[v6][:port]" or a bare IPv6 address; false when none of these.
bool parse_dns_server(const std::string& text, ServerAddress* server) {
  std::string port;
  if (text.starts_with("[")) {
    std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    server->address = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      port = text.substr(close + 2);
    }
  } else if (std::size_t colon = text.find(':');
             colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
    server->address = text.substr(0, colon);
    port = text.substr(colon + 1);
  } else {
    server->address = text;
  }
  if (!port.empty()) {
    char* end = nullptr;
    long number = std::strtol(port.c_str(), &end, 10);
    if (*end != '\0' || number < 1 || number > 65535) return false;
    server->port = static_cast<std::uint16_t>(number);
  }
  unsigned char bytes[16];
  if (inet_pton(AF_INET, server->address.c_str(), bytes) == 1) return true;
  server->ipv6 = true;
  return inet_pton(AF_INET6, server->address.c_str(), bytes) == 1;
}

class LdnsLookup : public DnsLookup {
 public:
  LdnsLookup(const LdnsApi& api, ldns_resolver* resolver) : api_(api), resolver_(resolver) {}
  ~LdnsLookup() override { api_.ldns_resolver_deep_free(resolver_); }
  LdnsLookup(const LdnsLookup&) = delete;
  LdnsLookup& operator=(const LdnsLookup&) = delete;

  DnsAnswer ask(const std::string& name, DnsType type) override;

 private:
  std::string record_text(const ldns_rr* record, DnsType type) const;

  const LdnsApi& api_;
  ldns_resolver* resolver_;
};

std::string LdnsLookup::record_text(const ldns_rr* record, DnsType type) const {
  std::string text;
  if (type == DnsType::kTxt) {
    // Each character-string is a length octet and its bytes; a record's strings join.
    for (std::size_t i = 0; i < api_.ldns_rr_rd_count(record); ++i) {
      const ldns_rdf* field = api_.ldns_rr_rdf(record, i);
      const std::uint8_t* data = api_.ldns_rdf_data(field);
      std::size_t size = api_.ldns_rdf_size(field);
      if (size > 0) text.append(reinterpret_cast<const char*>(data) + 1, size - 1);
    }
    return text;
  }
  const ldns_rdf* field = api_.ldns_rr_rdf(record, type == DnsType::kMx ? 1 : 0);
  if (field == nullptr) return text;
  if (char* shown = api_.ldns_rdf2str(field)) {
    text = shown;
    std::free(shown);
  }
  return type == DnsType::kA || type == DnsType::kAaaa ? text : lower_name(text);
}

DnsAnswer LdnsLookup::ask(const std::string& name, DnsType type) {
  DnsAnswer answer;
  std::string absolute = name.ends_with(".") ? name : name + ".";
  ldns_rdf* owner = api_.ldns_dname_new_frm_str(absolute.c_str());
  if (owner == nullptr) {
    answer.status = DnsAnswer::Status::kFailed;
    answer.error = "not a domain name: " + name;
    return answer;
  }
  // A server that did not answer one question is marked unreachable by ldns and never
  // asked again; each question gives every server its own chance.
  for (std::size_t i = 0; i < api_.ldns_resolver_nameserver_count(resolver_); ++i)
    api_.ldns_resolver_set_nameserver_rtt(resolver_, i, LDNS_RESOLV_RTT_MIN);
  ldns_pkt* packet = nullptr;
  ldns_status status = api_.ldns_resolver_query_status(&packet, resolver_, owner, rr_type(type),
                                                       LDNS_RR_CLASS_IN, LDNS_RD);
  api_.ldns_rdf_deep_free(owner);
  if (status != LDNS_STATUS_OK || packet == nullptr) {
    answer.status = DnsAnswer::Status::kFailed;
    answer.error = api_.ldns_get_errorstr_by_id(status);
    if (packet) api_.ldns_pkt_free(packet);
    return answer;
  }
  ldns_pkt_rcode rcode = api_.ldns_pkt_get_rcode(packet);
  if (rcode != LDNS_RCODE_NOERROR && rcode != LDNS_RCODE_NXDOMAIN) {
    answer.status = DnsAnswer::Status::kFailed;
    answer.error = "the server answered with error " + std::to_string(rcode);
  } else if (ldns_rr_list* records =
                 api_.ldns_pkt_rr_list_by_type(packet, rr_type(type), LDNS_SECTION_ANSWER)) {
    for (std::size_t i = 0; i < api_.ldns_rr_list_rr_count(records); ++i)
      answer.records.push_back(record_text(api_.ldns_rr_list_rr(records, i), type));
    api_.ldns_rr_list_deep_free(records);
  }
  if (!answer.records.empty()) answer.status = DnsAnswer::Status::kFound;
  api_.ldns_pkt_free(packet);
  return answer;
}

ldns_resolver* resolver_for(const LdnsApi& api, const std::string& server, std::string* error) {
  ldns_resolver* resolver = nullptr;
  if (server.empty()) {
    ldns_status status = api.ldns_resolver_new_frm_file(&resolver, nullptr);
    if (status != LDNS_STATUS_OK) {
      *error = std::string("cannot read /etc/resolv.conf: ") + api.ldns_get_errorstr_by_id(status);
      return nullptr;
    }
    return resolver;
  }
  ServerAddress parsed;
  if (!parse_dns_server(server, &parsed)) {
    *error = "DnsServer=" + server + ": expected ADDRESS:PORT";
    return nullptr;
  }
  ldns_rdf* address = api.ldns_rdf_new_frm_str(parsed.ipv6 ? LDNS_RDF_TYPE_AAAA : LDNS_RDF_TYPE_A,
                                               parsed.address.c_str());
  resolver = api.ldns_resolver_new();
  if (address == nullptr || resolver == nullptr ||
      api.ldns_resolver_push_nameserver(resolver, address) != LDNS_STATUS_OK) {
    *error = "DnsServer=" + server + ": cannot be used";
    if (resolver) api.ldns_resolver_deep_free(resolver);
    resolver = nullptr;
  } else {
    api.ldns_resolver_set_port(resolver, parsed.port);
  }
  if (address) api.ldns_rdf_deep_free(address);
  return resolver;
}

}  // namespace

std::unique_ptr<DnsLookup> open_dns_lookup(const std::string& server, std::chrono::seconds bound,
                                           std::string* error) {
  const LdnsApi* api = ldns_api(error);
  if (api == nullptr) return nullptr;
  ldns_resolver* resolver = resolver_for(*api, server, error);
  if (resolver == nullptr) return nullptr;
  api->ldns_resolver_set_timeout(resolver, timeval{static_cast<time_t>(bound.count()), 0});
  api->ldns_resolver_set_retry(resolver, 1);
  api->ldns_resolver_set_defnames(resolver, false);
  api->ldns_resolver_set_dnsrch(resolver, false);
  return std::make_unique<LdnsLookup>(*api, resolver);
}

std::string reverse_name(const std::string& address) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
    char name[64];
    std::snprintf(name, sizeof name, "%u.%u.%u.%u.in-addr.arpa", bytes[3], bytes[2], bytes[1],
                  bytes[0]);
    return name;
  }
  if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (int i = 15; i >= 0; --i) {
    name += kHex[bytes[i] & 0xf];
    name += '.';
    name += kHex[bytes[i] >> 4];
    name += '.';
  }
  return name + "ip6.arpa";
}
