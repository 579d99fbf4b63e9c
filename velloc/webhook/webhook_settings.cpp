#include "velloc/webhook/webhook_settings.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "platform/ini_file.h"
#include "platform/text.h"
#include "velloc/run.h"

namespace {

constexpr char kSection[] = "Velloc";
constexpr char kUrlKey[] = "Webhook";
constexpr std::size_t kUrlKeyLength = sizeof kUrlKey - 1;
// Addresses of some services run past the 259 characters of other values.
constexpr std::size_t kMaxUrl = 4096;
constexpr int kMaxKeyDigits = 6;
constexpr int kDefaultTimeout = 10;
constexpr int kMaxTimeout = 300;

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

std::vector<std::string> section_keys(platform::IniFiles& files, const std::string& file,
                                      const std::string& section) {
  std::vector<std::string> keys;
  for (const auto& entry : files.read_section(file, section)) keys.push_back(entry.first);
  return keys;
}

int parse_timeout(const std::optional<std::string>& text) {
  if (!text || platform::trim(*text).empty()) return kDefaultTimeout;
  int seconds = platform::parse_leading_int(*text);
  if (seconds <= 0) return kDefaultTimeout;
  return std::min(seconds, kMaxTimeout);
}

// Everything but the addresses, the profile's values first.
void load_call_settings(Run& run, WebhookSettings& webhooks) {
  webhooks.secret = profile_or_setting(run, "WebhookSecret", kMaxUrl).value_or("");
  webhooks.template_name = std::string(platform::trim(
      profile_or_setting(run, "WebhookTemplate", platform::kMaxIniValue).value_or("")));
  webhooks.timeout_seconds =
      parse_timeout(profile_or_setting(run, "WebhookTimeout", platform::kMaxIniValue));
  webhooks.total_timeout_seconds =
      parse_timeout(profile_or_setting(run, "WebhookTotalTimeout", platform::kMaxIniValue));
  webhooks.allow_plain =
      profile_or_setting(run, "WebhookAllowPlain", platform::kMaxIniValue).value_or("0") == "1";
  webhooks.ca_file = run.site.settings_files()
                         .find_value(run.settings.settings_file, kSection, "HTTP_CA_FILE")
                         .value_or("");
}

}  // namespace

std::vector<std::string> webhook_url_keys(const std::vector<std::string>& keys) {
  std::map<int, std::string> numbered;
  for (const std::string& key : keys)
    if (std::optional<int> number = url_key_number(key)) numbered.emplace(*number, key);
  std::vector<std::string> ordered;
  for (auto& [number, key] : numbered) ordered.push_back(std::move(key));
  return ordered;
}

void load_webhook_settings(Run& run) {
  WebhookSettings& webhooks = run.settings.webhooks;
  webhooks = WebhookSettings();
  const std::string& file = run.settings.settings_file;
  if (file.empty()) return;
  platform::IniFiles& files = run.site.settings_files();
  std::vector<std::string> keys = section_keys(files, file, kSection);
  for (const auto& entry : run.settings.form_profile) keys.push_back(entry.first);
  for (const std::string& key : webhook_url_keys(keys)) {
    std::string url(platform::trim(profile_or_setting(run, key, kMaxUrl).value_or("")));
    if (!url.empty()) webhooks.urls.push_back(std::move(url));
  }
  if (!webhooks.urls.empty()) load_call_settings(run, webhooks);
}

std::optional<WebhookSettings> webhook_settings_for_profile(Site& site,
                                                            const std::string& settings_file,
                                                            const std::string& profile) {
  WebhookSettings webhooks;
  if (settings_file.empty()) return webhooks;
  Run run(site);
  run.settings.settings_file = settings_file;
  if (!profile.empty()) {
    run.settings.form_profile_section = "Form " + profile;
    run.settings.form_profile =
        site.settings_files().read_section(settings_file, run.settings.form_profile_section);
    if (run.settings.form_profile.empty()) return std::nullopt;
  }
  load_call_settings(run, webhooks);
  return webhooks;
}
