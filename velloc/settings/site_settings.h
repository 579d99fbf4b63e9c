// The site's settings as one version of its settings file gives them: every key of
// [Velloc] read once into a typed field, with the defaults applied, and the file
// itself for the form profiles. A Site makes them once per version of the file
// (Site::site_settings); every submission until the file changes reads them.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ini_file.h"
#include "velloc/request/field_map.h"
#include "velloc/request/json_log_line.h"

namespace rules {
struct FormRules;
}

namespace settings {

// How the mail is carried to the relay (SMTP_TLS).
enum class Tls { kNone, kStartTls, kImplicit, kUnknown };

struct SiteSettings {
  std::string file;               // empty: no settings file, every value its default
  platform::IniSnapshot content;  // the version read; the profiles come from it
  // The files of forms.d beside it (form_files.h), in name order: further profiles.
  std::vector<platform::IniSnapshot> form_files;

  // Where velloc reads and writes.
  std::optional<std::string> pgp_path;  // PGP_Path; nullopt: the program's folder
  std::optional<std::string> temp;      // TEMP; nullopt: the working directory
  bool follow_links = false;            // FollowLinks=1
  std::string template_directory = ".\\BRANNIC\\TEMPLATES\\";  // TEMPLATE_DIR
  std::string log_file = "BRANNIC.LOG";                        // LOGFILE
  int log_level = 1;                                           // LOG_LEVEL
  LogFormat log_format = LogFormat::kText;                     // LogFormat=json
  RequestLimits request_limits;                                // MaxRequestSize, MaxFields

  // Mail.
  std::string smtp_server = "mail";  // SMTP
  Tls tls = Tls::kNone;
  std::string smtp_ca_file;
  bool tls_verify = true;  // SMTP_TLS_VERIFY other than "0"
  std::string smtp_user;
  std::string smtp_password;       // SMTP_PASSWORD (never logged)
  std::string smtp_password_file;  // SMTP_PASSWORD_FILE: read by each run that sends
  bool auth_plaintext = false;     // SMTP_AUTH_PLAINTEXT=1
  // A process that sends many mails keeps at most this many connections to the relay
  // open (SmtpConnections, 1 to 64), each closed after this many mails
  // (SmtpMessagesPerConnection, 1 to 10,000) or 30 seconds unused.
  int smtp_connections = 4;
  int smtp_messages_per_connection = 100;
  std::string charset;  // CHARSET, trimmed
  std::string default_sender = "velloc@localhost";
  bool visitor_reply_to = false;
  // DKIM signing: every mail is signed when any of these is set, and not sent
  // when they cannot be used.
  std::string dkim_domain;            // DkimDomain: the d= of the signatures
  std::string dkim_selector;          // DkimSelector: s= of the RSA-SHA256 signature
  std::string dkim_key_file;          // DkimKeyFile: its private key (PEM)
  std::string dkim_selector_ed25519;  // DkimSelectorEd25519: a second, Ed25519-SHA256
  std::string dkim_key_file_ed25519;  // DkimKeyFileEd25519: its private key (PEM)
  // ReceiptsPerAddress: receipts to one address in any 24 hours; 0: no limit.
  int receipts_per_address = 5;
  // DnsServer: ADDRESS:PORT every question of `velloc doctor` goes to; empty: the
  // system's resolver settings.
  std::string dns_server;

  // Who may ask for what.
  std::string referers;
  std::string default_recipient;
  std::optional<std::string> allowed_recipients;  // nullopt when absent
  std::string redirect_hosts;
  std::string allowed_origins;  // AllowedOrigins of [Velloc], for answers given before a profile
  std::string response;         // Response of [Velloc], for answers given before a profile
  // The visitor's language of [Velloc] (Language, Languages; for answers given before a
  // profile) and the folder of the catalogues (LanguageFolder; empty: the shipped one).
  std::string language;
  std::string languages;
  std::string language_folder;
  bool allow_debug = true;           // AllowDebug other than "0"
  bool escape_web_templates = true;  // EscapeWebTemplates other than "0"
  bool profiles_only = false;        // ProfilesOnly=1

  // Kept state.
  bool archive = false;   // Archive=1 in [Velloc] (a profile may say otherwise for its form)
  std::string state_dsn;  // StateDSN; empty: the store beside the settings
  bool receipt_counter_in_state = false;  // ReceiptCounter=state
  int delivery_retry_hours = 72;
  std::string http_ca_file;  // HTTP_CA_FILE
  // Archive=1 in [Velloc] or in a form profile: deliveries may wait in the outbox.
  bool archive_anywhere = false;

  // Alerts of deliveries failed or given up and of an outbox too old.
  std::string alert_webhook;         // AlertWebhook; empty: none
  std::string alert_webhook_secret;  // AlertWebhookSecret, else WebhookSecret of [Velloc]
  std::string alert_command;         // AlertCommand, a program run without a shell
  // OutboxAlertMinutes, held within 1 and 10080: an outbox whose oldest due delivery
  // fell due longer ago is an alert.
  int outbox_alert_minutes = 15;

  // The operator's endpoints.
  bool health = false;             // Health=1: /healthz and /readyz
  int min_free_megabytes = 100;    // MinFreeMegabytes: /readyz fails below it
  bool metrics = false;            // Metrics=1: /metrics
  std::string metrics_allow;       // MetricsAllow, as written; empty: loopback
  bool metrics_allow_set = false;  // whether MetricsAllow is in the file
  std::string metrics_token;       // MetricsToken (never logged)

  // The inbox.
  bool inbox = false;  // Inbox=1
  std::string inbox_users;
  std::string inbox_secret;

  // [Webhooks]: NAME=ADDRESS, the webhooks a rule's `webhook NAME` calls, in file order;
  // a name written with an empty address is left out.
  std::vector<std::pair<std::string, std::string>> named_webhooks;

  // The rules of each form profile that writes any (Route, When, Validate), by its
  // section's name in lower case; read with this version, shared by its runs.
  std::map<std::string, std::shared_ptr<const rules::FormRules>> form_rules;

  bool operator==(const SiteSettings&) const = default;
};

// The settings of `file` as `content` holds it (an empty `file`: the defaults), with
// the profiles of `form_files` (the forms.d files beside it).
SiteSettings read_site_settings(const std::string& file, const platform::IniSnapshot& content,
                                std::vector<platform::IniSnapshot> form_files = {});

// The version that holds the profile section `section` ("Form NAME"): the settings
// file's, else that of the first forms.d file that has it; nullptr when none does.
const platform::IniSnapshot* profile_source(const SiteSettings& site, std::string_view section);

// The entries of the profile section `section`; none when no version holds it.
std::vector<std::pair<std::string, std::string>> profile_section(const SiteSettings& site,
                                                                 std::string_view section);

// The rules of the profile section `section` ("Form NAME"); nullptr when it writes none.
std::shared_ptr<const rules::FormRules> profile_rules(const SiteSettings& site,
                                                      std::string_view section);

// The settings of `file` (empty: none) read now, for a command that serves no request.
SiteSettings read_site_settings(const std::string& file);

// A value of a key that a form profile may set: the profile's (section `profile`, empty:
// none) when it sets the key, else [Velloc]'s; nullopt when neither does. Cut to
// `max_length` as every value read is.
std::optional<std::string> form_value(const SiteSettings& site, const std::string& profile,
                                      std::string_view key,
                                      std::size_t max_length = platform::kMaxIniValue);

// KeepSubmissions: days from 0 (kept until erased) to 36,500; a value without
// digits gives the default of 90.
int parse_keep_days(std::string_view text);

// ConfirmHours: hours a confirmation link is valid, from 1 to 8,784; a value without
// digits gives the default of 48.
int parse_confirm_hours(std::string_view text);

// The limits of a request from the settings' values (nullopt: key absent): MaxRequestSize
// (bytes, or with a "K" or "M" suffix; default 16 MiB, held within 1 KiB and 256 MiB) and
// MaxFields (default 10,000). A value without digits, and a MaxFields below 1, give the
// default.
RequestLimits request_limits_from(const std::optional<std::string>& max_request_size,
                                  const std::optional<std::string>& max_fields);

}  // namespace settings
