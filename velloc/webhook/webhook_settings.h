// How a run calls its webhooks: the addresses and the rest, read with the other
// settings of its form (the profile's values before [Velloc]'s; HTTP_CA_FILE of
// [Velloc] only).
#pragma once

#include <string>
#include <vector>

struct WebhookSettings {
  // Webhook, then Webhook1, Webhook2, ... in the order of their numbers; a key set
  // empty (in the profile, say) calls nothing.
  std::vector<std::string> urls;
  std::string secret;         // WebhookSecret; empty: calls go unsigned
  std::string template_name;  // WebhookTemplate, under the template directory; empty: JSON
  int timeout_seconds = 10;   // WebhookTimeout, held within 1 and 300
  // WebhookTotalTimeout, held within 1 and 300: all of one submission's calls
  // together; a call gets what is left of it when that is less than its own.
  int total_timeout_seconds = 10;
  bool allow_plain = false;  // WebhookAllowPlain=1: plain http to any host
  std::string ca_file;       // HTTP_CA_FILE; empty: the system's trust store
  bool operator==(const WebhookSettings&) const = default;
};
