#include "velloc/settings/form_settings.h"

#include <cctype>
#include <map>

#include "platform/text.h"
#include "velloc/rules/form_rules.h"

namespace settings {

namespace {

constexpr char kUrlKey[] = "Webhook";
constexpr std::size_t kUrlKeyLength = sizeof kUrlKey - 1;
// Addresses of some services run past the 259 characters of other values.
constexpr std::size_t kMaxUrl = 4096;
constexpr int kMaxKeyDigits = 6;
constexpr int kDefaultTimeout = 10;
constexpr int kMaxTimeout = 300;
constexpr std::size_t kMaxList = 64 * 1024;

// The number of a "Webhook<digits>" key: 0 for the bare name, nullopt for others.
std::optional<int> url_key_number(std::string_view key) {
  if (key.size() < kUrlKeyLength ||
      !platform::equal_ignoring_case(key.substr(0, kUrlKeyLength), kUrlKey))
    return std::nullopt;
  std::string_view digits = key.substr(kUrlKeyLength);
  if (digits.size() > kMaxKeyDigits) return std::nullopt;
  for (char c : digits)
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  return digits.empty() ? 0 : platform::parse_leading_int(digits) + 1;
}

int parse_timeout(const std::optional<std::string>& text) {
  if (!text || platform::trim(*text).empty()) return kDefaultTimeout;
  int seconds = platform::parse_leading_int(*text);
  if (seconds <= 0) return kDefaultTimeout;
  return std::min(seconds, kMaxTimeout);
}

// The values of one form: its profile's first, then [Velloc]'s.
struct FormValues {
  const SiteSettings& site;
  std::string profile;  // the profile's section; empty: none

  std::optional<std::string> find(std::string_view key,
                                  std::size_t max_length = platform::kMaxIniValue) const {
    return form_value(site, profile, key, max_length);
  }
  std::string text(std::string_view key, std::size_t max_length = platform::kMaxIniValue) const {
    return find(key, max_length).value_or("");
  }
  std::string trimmed(std::string_view key, std::size_t max_length = platform::kMaxIniValue) const {
    return std::string(platform::trim(text(key, max_length)));
  }
};

bool calls_webhooks(const rules::FormRules& rules) {
  for (const rules::Rule& rule : rules.rules)
    for (const rules::Action& action : rule.actions)
      if (action.kind == rules::Action::Kind::kWebhook) return true;
  return false;
}

// Everything of the webhooks but their addresses.
void read_call_settings(const FormValues& values, WebhookSettings& webhooks) {
  webhooks.secret = values.text("WebhookSecret", kMaxUrl);
  webhooks.template_name = values.trimmed("WebhookTemplate");
  webhooks.timeout_seconds = parse_timeout(values.find("WebhookTimeout"));
  webhooks.total_timeout_seconds = parse_timeout(values.find("WebhookTotalTimeout"));
  webhooks.allow_plain = values.find("WebhookAllowPlain").value_or("0") == "1";
  webhooks.ca_file = values.site.http_ca_file;
}

// `rule_calls`: the profile's rules may call further addresses, signed and timed alike.
WebhookSettings read_webhooks(const FormValues& values, bool rule_calls) {
  WebhookSettings webhooks;
  if (values.site.file.empty()) return webhooks;
  std::vector<std::string> keys;
  for (const auto& entry : values.site.content.section("Velloc")) keys.push_back(entry.first);
  if (!values.profile.empty())
    for (const auto& entry : profile_section(values.site, values.profile))
      keys.push_back(entry.first);
  for (const std::string& key : webhook_url_keys(keys)) {
    std::string url = values.trimmed(key, kMaxUrl);
    if (!url.empty()) webhooks.urls.push_back(std::move(url));
  }
  if (!webhooks.urls.empty() || rule_calls) read_call_settings(values, webhooks);
  return webhooks;
}

CaptchaSettings read_captcha(const FormValues& values) {
  CaptchaSettings captcha;
  captcha.kind = values.trimmed("Captcha");
  if (captcha.kind.empty()) return captcha;
  captcha.secret = values.text("CaptchaSecret");
  captcha.min_score = parse_captcha_min_score(values.text("CaptchaMinScore"));
  captcha.verify_url = values.trimmed("CaptchaVerifyURL", kMaxUrl);
  captcha.fail_open = values.trimmed("CaptchaFailOpen") == "1";
  captcha.ca_file = values.site.http_ca_file;
  return captcha;
}

}  // namespace

void resolve_form_settings(const SiteSettings& site, Settings& settings) {
  FormValues values{site,
                    settings.form_profile.empty() ? std::string() : settings.form_profile_section};
  settings.response = values.text("Response");
  settings.language = values.trimmed("Language");
  settings.languages = values.trimmed("Languages");
  settings.upload_limits = parse_upload_limits(
      values.text("MaxUploadSize"), values.text("MaxUploads"), values.text("UploadTypes"));
  settings.honeypot_field = values.text("HoneypotField");
  settings.rate_limit = values.text("RateLimit");
  settings.receipt_rate_limit = values.text("ReceiptRateLimit");
  settings.receipt_unsubscribe_url = values.trimmed("ReceiptUnsubscribeURL", kMaxUrl);
  settings.receipts_per_address = site.receipts_per_address;
  settings.allowed_origins = values.text("AllowedOrigins", kMaxList);
  settings.archive = values.trimmed("Archive") == "1";
  settings.archive_folder = values.trimmed("ArchiveFolder");
  settings.keep_submissions_days = parse_keep_days(values.text("KeepSubmissions"));
  settings.delivery_retry_hours = site.delivery_retry_hours;
  settings.delivery_queue = platform::equal_ignoring_case(values.trimmed("Delivery"), "queue");
  settings.confirm_field = values.trimmed("ConfirmField");
  settings.confirm_hours = parse_confirm_hours(values.text("ConfirmHours"));
  settings.confirm_url = values.trimmed("ConfirmURL", kMaxUrl);
  settings.state_dsn = site.state_dsn;
  settings.receipt_counter_in_state = site.receipt_counter_in_state;
  settings.rules =
      settings.form_profile.empty() ? nullptr : profile_rules(site, settings.form_profile_section);
  settings.webhooks = read_webhooks(values, settings.rules && calls_webhooks(*settings.rules));
  settings.challenge =
      challenge_settings_from(values.text("Challenge"), values.text("ChallengeKey"),
                              values.text("ChallengeMaxNumber"), values.text("ChallengeExpires"));
  settings.captcha = read_captcha(values);
  settings.spam_check = values.trimmed("SpamCheck");
  settings.spam_threshold = values.text("SpamThreshold");
  settings.max_links = parse_max_links(values.text("MaxLinks"));
  settings.blocked_words = values.trimmed("BlockedWords");
}

std::vector<std::string> webhook_url_keys(const std::vector<std::string>& keys) {
  std::map<int, std::string> numbered;
  for (const std::string& key : keys)
    if (std::optional<int> number = url_key_number(key)) numbered.emplace(*number, key);
  std::vector<std::string> ordered;
  for (auto& [number, key] : numbered) ordered.push_back(std::move(key));
  return ordered;
}

std::optional<WebhookSettings> webhook_settings_for_profile(const SiteSettings& site,
                                                            const std::string& profile) {
  WebhookSettings webhooks;
  if (site.file.empty()) return webhooks;
  std::string section = profile.empty() ? std::string() : "Form " + profile;
  if (!section.empty() && profile_section(site, section).empty()) return std::nullopt;
  read_call_settings(FormValues{site, section}, webhooks);
  return webhooks;
}

}  // namespace settings

std::string form_profile_name(const Settings& settings) {
  constexpr std::string_view kPrefix = "Form ";
  std::string_view section = settings.form_profile_section;
  if (settings.form_profile.empty() || !section.starts_with(kPrefix)) return {};
  return std::string(section.substr(kPrefix.size()));
}

std::string html_content_type(const Settings& settings) {
  if (settings.charset.empty()) return "text/html";
  return "text/html; charset=" + settings.charset;
}
