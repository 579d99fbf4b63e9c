// The webhook settings of a run: the addresses to call and how to call them, read
// once with the other settings. Each key is looked up in the form profile first,
// then in [Velloc], as the other per-form keys; HTTP_CA_FILE in [Velloc] only.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

class Site;
struct Run;

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
};

// The names of the webhook address keys among `keys` (any case: "Webhook",
// "webhook2"), ordered by their numbers, the bare name first, each number once.
std::vector<std::string> webhook_url_keys(const std::vector<std::string>& keys);

// Reads run.settings.webhooks from the run's profile and settings file.
void load_webhook_settings(Run& run);

// How a call kept for a submission of the form profile `profile` (empty: none) is
// sent again: the secret, timeout and the rest as the settings file says now, so
// that a secret changed since is the one used; the addresses are left empty (the
// call keeps its own). nullopt when the file no longer has that profile.
std::optional<WebhookSettings> webhook_settings_for_profile(Site& site,
                                                            const std::string& settings_file,
                                                            const std::string& profile);
