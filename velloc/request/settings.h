// The site-wide settings of a run, read from the settings file "VELLOC.ini"
// (section "Velloc") by load_settings, and the referer check that they drive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ini_file.h"
#include "velloc/guard/upload_policy.h"
#include "velloc/mail/mail_message.h"
#include "velloc/request/cgi_request.h"
#include "velloc/response/negotiation.h"
#include "velloc/site.h"
#include "velloc/webhook/webhook_settings.h"

struct Run;

struct Settings {
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

  // Read from the form profile first, then [Velloc].
  UploadLimits upload_limits;      // MaxUploadSize, MaxUploads, UploadTypes
  std::string honeypot_field;      // HoneypotField; empty: none
  std::string rate_limit;          // RateLimit, as written; checked when applied
  std::string receipt_rate_limit;  // ReceiptRateLimit, the same
  std::string allowed_origins;     // AllowedOrigins; empty: no cross-origin handling
  WebhookSettings webhooks;        // Webhook, Webhook1, ... and how to call them
  bool archive = false;            // Archive=1: every accepted submission is kept
  std::string archive_folder;      // ArchiveFolder: copies of the uploads; empty: none
  int keep_submissions_days = 90;  // KeepSubmissions; 0: kept until erased
  int delivery_retry_hours = 72;   // DeliveryRetryHours: how long a delivery is retried
  // Read from [Velloc] only.
  std::string state_dsn;                  // StateDSN; empty: the store beside the settings
  bool receipt_counter_in_state = false;  // ReceiptCounter=state
};

// KeepSubmissions: days from 0 (kept until erased) to 36,500; a value without
// digits gives the default of 90.
int parse_keep_days(std::string_view text);

// "text/html", with "; charset=<CHARSET>" when the site names its character set.
std::string html_content_type(const Settings& settings);

// Directories searched for the settings file, in order: the executable's directory,
// the working directory, /etc/velloc/, then each directory of PATH.
std::vector<std::string> settings_search_directories(const ProcessFacts& facts);

// The first "VELLOC.ini" (any case) found along the search; empty when none.
std::string find_settings_file(const ProcessFacts& facts);

// The settings file of a request of `site`: find_settings_file, unless the Site keeps
// its last good settings. Then the file in use keeps its place in the search while it
// is missing or not good (no [Velloc] section), and a file found before it takes over
// only when it is good; the file taken keeps its last good version
// (IniFiles::keep_last_good).
std::string request_settings_file(Site& site);

// The TEMP setting of the settings file (the working directory when there is no
// file or no setting), for decoding that runs before load_settings.
std::string temp_directory_setting(Site& site, const std::string& settings_file);

// AllowedOrigins of [Velloc] (no form profile), for answers given before the settings
// are loaded; empty when there is no file or no such key.
std::string site_allowed_origins(Site& site, const std::string& settings_file);

// LOGFILE and LOG_LEVEL of the settings file into `message`, as load_settings
// reads them, for answers that load no more of the settings.
void read_log_settings(Site& site, const std::string& settings_file, MailMessage& message);

// Whether the settings file says FollowLinks=1: the folders it names may then be
// symbolic links.
bool follow_links_setting(Site& site, const std::string& settings_file);

// Step 3: fills run.settings and the context fields of run.message, applies the
// form profile, advances the receipt counter when the fields set RECEIPT_NUMBER (a
// request that the debug listing answers only reads it), and defaults EMAIL and
// RECIPIENT. Ends the run only for an unknown profile or a receipt number that the
// state store cannot give.
void load_settings(Run& run);
// The same with the settings file given (empty: no file).
void load_settings_from(Run& run, const std::string& settings_file);

// Part of loading the settings, before any field is derived from them: applies
// the profile that FORM_PROFILE names, keeps its entries in the settings, and
// ends the run with "Unknown Form!" when the profile is unknown, or missing
// while ProfilesOnly=1.
void apply_form_profile(Run& run);

// The answer format for what is known of the run so far: the request's Accept
// and Content-Type, and Response in the profile or else in [Velloc].
AnswerFormat decide_answer_format(const Run& run);

// The value of `key` in the run's profile, else in [Velloc] of the settings
// file (cut to `max_length`); nullopt when neither sets it.
std::optional<std::string> profile_or_setting(const Run& run, std::string_view key,
                                              std::size_t max_length = platform::kMaxIniValue);

// The name of the form profile that applies (its section without "Form "); empty
// when none does. The request's FORM_PROFILE field is gone once a profile applied.
std::string form_profile_name(const Settings& settings);

// The limits of a request, read before it is decoded: MaxRequestSize (bytes, or with
// a "K" or "M" suffix; default 16 MiB, held within 1 KiB and 256 MiB) and MaxFields
// (default 10,000). Empty `settings_file`: the defaults.
RequestLimits read_request_limits(platform::IniFiles& files, const std::string& settings_file);
// The same from the settings' values (nullopt: key absent). A value without
// digits, and a MaxFields below 1, give the default.
RequestLimits request_limits_from(const std::optional<std::string>& max_request_size,
                                  const std::optional<std::string>& max_fields);

// Step 5: true when the request may proceed. Without a Referer, the Origin header
// (other than "null") stands for the referring page.
bool check_referer(const Run& run);
// The host piece of a referer: the authority of an "http" or "https" address (any
// port or user part stays in it), up to the first "/", "?" or "#", looking at the
// first 1999 characters only. Empty for every other form, which no browser sends
// from a form page: another scheme, no scheme, a leading blank, an empty authority.
std::string referer_host(const std::string& referer);
