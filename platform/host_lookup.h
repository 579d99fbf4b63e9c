// Looking a host name up for an IPv4 address, as the mail step does before it
// connects, but bounded in time: a resolver that does not answer costs at most the
// bound. Used by the settings check, which runs on an operator's command.
#pragma once

#include <chrono>
#include <string>

namespace platform {

struct HostLookup {
  enum class Outcome { kFound, kNotFound, kTimedOut };
  Outcome outcome = Outcome::kFound;
  std::string reason;  // with kNotFound, the resolver's words ("Name or service not known")
};

// Asks the system's resolver (getaddrinfo, IPv4 only) for `host`, waiting at most
// `bound`. A lookup still running then is cancelled; one that cannot be cancelled
// finishes in the resolver's own time without holding up the caller.
HostLookup look_up_ipv4_host(const std::string& host, std::chrono::milliseconds bound);

}  // namespace platform
