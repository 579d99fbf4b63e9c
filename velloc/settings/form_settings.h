// The settings of one submission: the site's, with the form profile the request chose
// laid over the keys a profile may set, every value typed. Resolved once before the
// first step that reads them (load_settings); the steps read these fields and never
// the settings files.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velloc/guard/robot_settings.h"
#include "velloc/guard/upload_policy.h"
#include "velloc/settings/site_settings.h"
#include "velloc/webhook/webhook_settings.h"

struct Settings {
  // The site's settings; never null once the settings are loaded.
  std::shared_ptr<const settings::SiteSettings> site;
  std::string settings_file;       // where the file was found; empty when none
  std::string pgp_directory;       // ends in "\" (or "/") unless empty
  std::string template_directory;  // prefix of every template path, used unchanged
  std::string referers;
  std::string default_recipient;
  std::optional<std::string> allowed_recipients;  // AllowedRecipients; nullopt when absent
  std::string start_directory;                    // working directory when load_settings began
  std::string redirect_hosts;        // RedirectHosts: further hosts a redirect may name
  bool allow_debug = true;           // AllowDebug other than "0": DEBUG_VARIABLES lists
  bool escape_web_templates = true;  // EscapeWebTemplates other than "0"
  std::string charset;               // the character set of the site's pages (CHARSET)
  bool visitor_reply_to = false;     // form mail from DEFAULTSENDER, visitor in Reply-To
  // The keys of the form profile the request chose, in file order; empty when none.
  std::vector<std::pair<std::string, std::string>> form_profile;
  std::string form_profile_section;  // its section, "Form <name>"
  // The profile's routing, rules and field checks; nullptr when it writes none.
  std::shared_ptr<const rules::FormRules> rules;

  // Read from the form profile first, then [Velloc].
  std::string response;                  // Response: "json", "html" or empty (the request decides)
  std::string language;                  // Language: the visitor's language; empty: English
  std::string languages;                 // Languages: those Accept-Language chooses among
  UploadLimits upload_limits;            // MaxUploadSize, MaxUploads, UploadTypes
  std::string honeypot_field;            // HoneypotField; empty: none
  std::string rate_limit;                // RateLimit, as written; checked when applied
  std::string receipt_rate_limit;        // ReceiptRateLimit, the same
  std::string receipt_unsubscribe_url;   // ReceiptUnsubscribeURL; empty: none
  std::string allowed_origins;           // AllowedOrigins; empty: no cross-origin handling
  WebhookSettings webhooks;              // Webhook, Webhook1, ... and how to call them
  ChallengeSettings challenge;           // Challenge and its keys
  CaptchaSettings captcha;               // Captcha and its keys
  std::string spam_check;                // SpamCheck, trimmed; empty: not scored
  std::string spam_threshold;            // SpamThreshold, as written
  std::optional<std::size_t> max_links;  // MaxLinks
  std::string blocked_words;             // BlockedWords: the list's file, trimmed
  bool archive = false;                  // Archive=1: every accepted submission is kept
  std::string archive_folder;            // ArchiveFolder: copies of the uploads; empty: none
  int keep_submissions_days = 90;        // KeepSubmissions; 0: kept until erased
  int delivery_retry_hours = 72;         // DeliveryRetryHours: how long a delivery is retried
  // Delivery=queue: the deliveries are kept pending and sent by the delivery work, not
  // by the run; honoured only with Archive=1 (else the run sends them, as direct).
  bool delivery_queue = false;
  // ConfirmField: the field whose address must confirm the submission before its actions
  // run; empty: none. Honoured only with Archive=1, where the held submission waits.
  std::string confirm_field;
  int confirm_hours = 48;  // ConfirmHours: how long the confirmation link is valid
  // ConfirmURL: the handler's public address the link starts with; empty: made from the
  // request's scheme, server name, port and script path.
  std::string confirm_url;
  // Read from [Velloc] only.
  std::string state_dsn;                  // StateDSN; empty: the store beside the settings
  bool receipt_counter_in_state = false;  // ReceiptCounter=state
  int receipts_per_address = 5;           // ReceiptsPerAddress; 0: no limit

  bool operator==(const Settings&) const = default;
};

namespace settings {

// The keys a profile may set, into `settings`: from the profile that
// settings.form_profile_section names (none while form_profile is empty), else from
// [Velloc] of `site`.
void resolve_form_settings(const SiteSettings& site, Settings& settings);

// The names of the webhook address keys among `keys` (any case: "Webhook",
// "webhook2"), ordered by their numbers, the bare name first, each number once.
std::vector<std::string> webhook_url_keys(const std::vector<std::string>& keys);

// How a call kept for a submission of the form profile `profile` (empty: none) is sent
// again: the secret, timeout and the rest as the settings say now, so that a secret
// changed since is the one used; the addresses are left empty (the call keeps its own).
// nullopt when the settings no longer have that profile.
std::optional<WebhookSettings> webhook_settings_for_profile(const SiteSettings& site,
                                                            const std::string& profile);

}  // namespace settings

// The name of the form profile that applies (its section without "Form "); empty
// when none does. The request's FORM_PROFILE field is gone once a profile applied.
std::string form_profile_name(const Settings& settings);

// "text/html", with "; charset=<CHARSET>" when the site names its character set.
std::string html_content_type(const Settings& settings);
