#include "velloc/settings/site_settings.h"

#include <algorithm>
#include <cstdint>

#include "platform/text.h"
#include "velloc/rules/form_rules.h"
#include "velloc/settings/form_files.h"
#include "velloc/webhook/retry_schedule.h"

namespace settings {

namespace {

constexpr char kSection[] = "Velloc";
constexpr std::int64_t kKibibyte = 1024;
constexpr std::int64_t kDefaultMaxRequestSize = 16 * kKibibyte * kKibibyte;
constexpr std::int64_t kDefaultMaxFields = 10000;
// Long enough for any list an operator writes; the 259-character cut of other values
// could turn an entry into another one ("@example.com" into "@example.c",
// "https://example.com" into "https://example.co").
constexpr std::size_t kMaxList = 64 * 1024;
constexpr char kNamedWebhooks[] = "Webhooks";
// As the Webhook keys: addresses of some services run past 259 characters.
constexpr std::size_t kMaxUrl = 4096;

// A level that does not begin with a digit counts as 0: nothing is logged.
int parse_log_level(const std::string& value) {
  if (value.empty() || value.front() < '0' || value.front() > '9') return 0;
  return platform::parse_leading_int(value);
}

Tls parse_tls(std::string_view value) {
  value = platform::trim(value);
  if (value.empty() || platform::equal_ignoring_case(value, "none")) return Tls::kNone;
  if (platform::equal_ignoring_case(value, "starttls")) return Tls::kStartTls;
  if (platform::equal_ignoring_case(value, "tls")) return Tls::kImplicit;
  return Tls::kUnknown;
}

// Decimal digits with an optional "K" or "M" suffix (any case); nullopt when the
// text does not begin with a digit. More than twelve digits count as twelve nines.
std::optional<std::int64_t> parse_size(std::string_view text) {
  constexpr std::size_t kMaxDigits = 12;
  text = platform::trim(text);
  std::size_t digits = text.find_first_not_of("0123456789");
  if (text.empty() || digits == 0) return std::nullopt;
  std::string number(text.substr(0, digits));
  if (number.size() > kMaxDigits) number.assign(kMaxDigits, '9');
  std::int64_t value = std::stoll(number);
  std::string_view suffix = digits == std::string_view::npos ? "" : text.substr(digits, 1);
  if (platform::equal_ignoring_case(suffix, "K")) value *= kKibibyte;
  if (platform::equal_ignoring_case(suffix, "M")) value *= kKibibyte * kKibibyte;
  return value;
}

// Digits within `low` and `high` (held there); `fallback` for an absent or empty value
// or one that does not begin with a digit.
int bounded_number(const std::optional<std::string>& value, int fallback, int low, int high) {
  std::string_view text = value ? platform::trim(*value) : std::string_view();
  if (text.empty() || text.front() < '0' || text.front() > '9') return fallback;
  std::int64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    number = std::min<std::int64_t>(high, number * 10 + (c - '0'));
  }
  return static_cast<int>(std::max<std::int64_t>(low, number));
}

// Folded for the lookup of a section whatever the case it is named in.
std::string lower_name(std::string_view name) {
  std::string lower(name);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

void read_named_webhooks(SiteSettings& site) {
  for (const auto& [name, cut] : site.content.section(kNamedWebhooks)) {
    std::string url(platform::trim(site.content.find(kNamedWebhooks, name, kMaxUrl).value_or("")));
    if (!url.empty()) site.named_webhooks.emplace_back(name, std::move(url));
  }
}

// The rules of every profile that writes any, read once for this version, their
// webhook names resolved against [Webhooks].
void read_profile_rules(SiteSettings& site) {
  std::vector<std::string> sections = site.content.section_names();
  for (const platform::IniSnapshot& forms : site.form_files)
    for (std::string& name : forms.section_names()) sections.push_back(std::move(name));
  for (const std::string& section : sections) {
    if (!platform::equal_ignoring_case(section.substr(0, 5), "Form ")) continue;
    if (site.form_rules.count(lower_name(section)) != 0) continue;
    auto entries = profile_section(site, section);
    if (std::none_of(entries.begin(), entries.end(),
                     [](const auto& entry) { return rules::is_rule_key(entry.first); }))
      continue;
    rules::FormRules read = rules::read_form_rules(entries);
    rules::resolve_named_webhooks(read, site.named_webhooks);
    site.form_rules.emplace(lower_name(section),
                            std::make_shared<const rules::FormRules>(std::move(read)));
  }
}

}  // namespace

std::shared_ptr<const rules::FormRules> profile_rules(const SiteSettings& site,
                                                      std::string_view section) {
  auto found = site.form_rules.find(lower_name(section));
  return found == site.form_rules.end() ? nullptr : found->second;
}

SiteSettings read_site_settings(const std::string& file, const platform::IniSnapshot& content,
                                std::vector<platform::IniSnapshot> form_files) {
  SiteSettings site;
  site.file = file;
  site.content = content;
  if (file.empty()) return site;
  site.form_files = std::move(form_files);
  auto find = [&](std::string_view key, std::size_t max_length = platform::kMaxIniValue) {
    return content.find(kSection, key, max_length);
  };
  auto read = [&](std::string_view key, std::string_view fallback = "") {
    return find(key).value_or(std::string(fallback));
  };
  site.pgp_path = find("PGP_Path");
  site.temp = find("TEMP");
  site.follow_links = read("FollowLinks", "0") == "1";
  site.template_directory = read("TEMPLATE_DIR", site.template_directory);
  site.log_file = read("LOGFILE", site.log_file);
  site.log_level = parse_log_level(read("LOG_LEVEL", "1"));
  site.log_format = platform::equal_ignoring_case(platform::trim(read("LogFormat")), "json")
                        ? LogFormat::kJson
                        : LogFormat::kText;
  site.request_limits = request_limits_from(find("MaxRequestSize"), find("MaxFields"));

  site.smtp_server = read("SMTP", site.smtp_server);
  site.tls = parse_tls(read("SMTP_TLS"));
  site.smtp_ca_file = read("SMTP_CA_FILE");
  site.tls_verify = read("SMTP_TLS_VERIFY", "1") != "0";
  site.smtp_user = read("SMTP_USER");
  site.smtp_password = read("SMTP_PASSWORD");
  site.smtp_password_file = read("SMTP_PASSWORD_FILE");
  site.auth_plaintext = read("SMTP_AUTH_PLAINTEXT", "0") == "1";
  site.smtp_connections = bounded_number(find("SmtpConnections"), 4, 1, 64);
  site.smtp_messages_per_connection =
      bounded_number(find("SmtpMessagesPerConnection"), 100, 1, 10000);
  site.charset = std::string(platform::trim(read("CHARSET")));
  site.default_sender = read("DEFAULTSENDER", site.default_sender);
  site.visitor_reply_to = read("VisitorReplyTo", "0") == "1";
  site.dkim_domain = std::string(platform::trim(read("DkimDomain")));
  site.dkim_selector = std::string(platform::trim(read("DkimSelector")));
  site.dkim_key_file = std::string(platform::trim(read("DkimKeyFile")));
  site.dkim_selector_ed25519 = std::string(platform::trim(read("DkimSelectorEd25519")));
  site.dkim_key_file_ed25519 = std::string(platform::trim(read("DkimKeyFileEd25519")));
  site.receipts_per_address = bounded_number(find("ReceiptsPerAddress"), 5, 0, 1000000);
  site.dns_server = std::string(platform::trim(read("DnsServer")));

  site.referers = read("Referers");
  site.default_recipient = read("DefaultRecipient");
  site.allowed_recipients = find("AllowedRecipients", kMaxList);
  site.redirect_hosts = read("RedirectHosts");
  site.allowed_origins = find("AllowedOrigins", kMaxList).value_or("");
  site.response = read("Response");
  site.language = std::string(platform::trim(read("Language")));
  site.languages = std::string(platform::trim(read("Languages")));
  site.language_folder = std::string(platform::trim(read("LanguageFolder")));
  site.allow_debug = read("AllowDebug") != "0";
  site.escape_web_templates = read("EscapeWebTemplates") != "0";
  site.profiles_only = platform::parse_leading_int(read("ProfilesOnly", "0")) == 1;

  site.archive = platform::trim(read("Archive")) == "1";
  site.state_dsn = read("StateDSN");
  site.receipt_counter_in_state = platform::equal_ignoring_case(read("ReceiptCounter"), "state");
  site.delivery_retry_hours = parse_retry_hours(read("DeliveryRetryHours"));
  site.http_ca_file = read("HTTP_CA_FILE");
  site.archive_anywhere = site.archive;
  for (const std::string& section : content.section_names())
    if (section.starts_with("Form ") &&
        platform::trim(content.find(section, "Archive").value_or("")) == "1")
      site.archive_anywhere = true;
  for (const platform::IniSnapshot& forms : site.form_files)
    for (const std::string& section : forms.section_names())
      if (section.starts_with("Form ") && profile_source(site, section) == &forms &&
          platform::trim(forms.find(section, "Archive").value_or("")) == "1")
        site.archive_anywhere = true;

  site.alert_webhook = std::string(platform::trim(read("AlertWebhook")));
  site.alert_webhook_secret = read("AlertWebhookSecret", read("WebhookSecret"));
  site.alert_command = std::string(platform::trim(read("AlertCommand")));
  std::string minutes(platform::trim(read("OutboxAlertMinutes")));
  if (!minutes.empty() && minutes[0] >= '0' && minutes[0] <= '9')
    site.outbox_alert_minutes = std::clamp(platform::parse_leading_int(minutes), 1, 10080);

  site.health = platform::trim(read("Health")) == "1";
  site.min_free_megabytes = bounded_number(find("MinFreeMegabytes"), 100, 0, 1000000);
  site.metrics = platform::trim(read("Metrics")) == "1";
  std::optional<std::string> allow = find("MetricsAllow", kMaxList);
  site.metrics_allow_set = allow.has_value();
  site.metrics_allow = allow.value_or("");
  site.metrics_token = std::string(platform::trim(read("MetricsToken")));

  site.inbox = platform::trim(read("Inbox")) == "1";
  site.inbox_users = std::string(platform::trim(read("InboxUsers")));
  site.inbox_secret = std::string(platform::trim(read("InboxSecret")));
  read_named_webhooks(site);
  read_profile_rules(site);
  return site;
}

SiteSettings read_site_settings(const std::string& file) {
  platform::IniFiles files;
  if (file.empty()) return read_site_settings(file, platform::IniSnapshot());
  std::vector<platform::IniSnapshot> forms;
  for (const std::string& path : form_files_beside(file)) forms.push_back(files.snapshot(path));
  return read_site_settings(file, files.snapshot(file), std::move(forms));
}

const platform::IniSnapshot* profile_source(const SiteSettings& site, std::string_view section) {
  if (site.file.empty() || section.empty()) return nullptr;
  if (site.content.has_section(section)) return &site.content;
  for (const platform::IniSnapshot& forms : site.form_files)
    if (forms.has_section(section)) return &forms;
  return nullptr;
}

std::vector<std::pair<std::string, std::string>> profile_section(const SiteSettings& site,
                                                                 std::string_view section) {
  const platform::IniSnapshot* source = profile_source(site, section);
  return source ? source->section(section) : std::vector<std::pair<std::string, std::string>>();
}

std::optional<std::string> form_value(const SiteSettings& site, const std::string& profile,
                                      std::string_view key, std::size_t max_length) {
  if (const platform::IniSnapshot* source = profile_source(site, profile))
    if (std::optional<std::string> value = source->find(profile, key, max_length)) return value;
  if (site.file.empty()) return std::nullopt;
  return site.content.find(kSection, key, max_length);
}

int parse_confirm_hours(std::string_view text) {
  return bounded_number(std::string(text), 48, 1, 366 * 24);
}

int parse_keep_days(std::string_view text) {
  constexpr int kDefaultDays = 90;
  constexpr int kMaxDays = 36500;
  std::string_view digits = platform::trim(text);
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') return kDefaultDays;
  int days = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    days = std::min(kMaxDays, days * 10 + (c - '0'));
  }
  return days;
}

RequestLimits request_limits_from(const std::optional<std::string>& max_request_size,
                                  const std::optional<std::string>& max_fields) {
  RequestLimits limits;
  std::optional<std::int64_t> size =
      max_request_size ? parse_size(*max_request_size) : std::nullopt;
  limits.max_request_size =
      std::clamp(size.value_or(kDefaultMaxRequestSize), kKibibyte, RequestLimits::kCeiling);
  std::optional<std::int64_t> count = max_fields ? parse_size(*max_fields) : std::nullopt;
  limits.max_fields = static_cast<std::size_t>(count && *count > 0 ? *count : kDefaultMaxFields);
  return limits;
}

}  // namespace settings
