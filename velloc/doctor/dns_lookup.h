// The DNS questions `velloc doctor` asks: one interface, so that the checks that read
// the answers (SPF, DKIM, DMARC, reverse DNS) can be given a fake, and the resolver
// behind it (ldns), which asks the DnsServer setting's server or the system's. The
// resolver owns its ldns state; every question waits at most the bound it was made with.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

enum class DnsType { kA, kAaaa, kTxt, kMx, kPtr };

struct DnsAnswer {
  enum class Status {
    kFound,   // records holds at least one record
    kNone,    // the name does not exist, or has no record of the type
    kFailed,  // no answer in time, or the server failed (error says which)
  } status = Status::kNone;
  // One entry per record: a TXT record's strings joined, an address as text, an MX's
  // or PTR's name in lower case without its final dot.
  std::vector<std::string> records;
  std::string error;
};

class DnsLookup {
 public:
  virtual ~DnsLookup() = default;
  // `name` is taken as absolute (no search domains are appended).
  virtual DnsAnswer ask(const std::string& name, DnsType type) = 0;
};

// A resolver asking `server` ("ADDRESS:PORT", "[IPv6]:PORT" or an address alone,
// port 53), or the servers of /etc/resolv.conf when it is empty. Null with *error set
// when the library cannot be loaded or `server` is no address.
std::unique_ptr<DnsLookup> open_dns_lookup(const std::string& server, std::chrono::seconds bound,
                                           std::string* error);

// The name a PTR question about `address` (IPv4 or IPv6 text) asks for; empty when
// `address` is neither.
std::string reverse_name(const std::string& address);
