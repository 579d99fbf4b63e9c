#include "velloc/settings/settings_model.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "platform/text.h"

namespace settings {

namespace {

constexpr unsigned kSite = kVellocSection;
constexpr unsigned kEither = kVellocSection | kFormProfile;
constexpr unsigned kProfile = kFormProfile;
constexpr std::int64_t kMegabyte = 1024 * 1024;

using T = ValueType;

// clang-format off
constexpr KeyDeclaration kKeys[] = {
    // [Velloc]
    {"SMTP", kSite, T::kText, "mail"},
    {"DefaultRecipient", kSite, T::kAddress, ""},
    {"DEFAULTSENDER", kSite, T::kAddress, "velloc@localhost"},
    {"TEMPLATE_DIR", kSite, T::kText, ".\\BRANNIC\\TEMPLATES\\"},
    {"TEMP", kSite, T::kFolder, ""},
    {"LOGFILE", kSite, T::kPath, "BRANNIC.LOG"},
    {"LOG_LEVEL", kSite, T::kChoice, "1", false, 0, 0, "0|1|5|10|15"},
    {"LogFormat", kSite, T::kChoice, "text", false, 0, 0, "text|json"},
    {"Referers", kSite, T::kHosts, ""},
    {"AllowedOrigins", kEither, T::kOrigins, ""},
    {"PGP_Path", kSite, T::kFolder, ""},
    {"AllowedRecipients", kSite, T::kAddresses, ""},
    {"MaxRequestSize", kSite, T::kSize, "16M", false, 1024, 256 * kMegabyte},
    {"MaxFields", kSite, T::kSize, "10000"},
    {"ReceiptNumber", kSite, T::kInteger, "1", false, 0, 2147483647},
    {"AllowDebug", kSite, T::kFlag, ""},
    {"RedirectHosts", kSite, T::kHosts, ""},
    {"EscapeWebTemplates", kSite, T::kFlag, ""},
    {"SMTP_TLS", kSite, T::kChoice, "none", false, 0, 0, "none|starttls|tls"},
    {"SMTP_CA_FILE", kSite, T::kPath, ""},
    {"SMTP_TLS_VERIFY", kSite, T::kFlag, "1"},
    {"SmtpConnections", kSite, T::kInteger, "4", false, 1, 64},
    {"SmtpMessagesPerConnection", kSite, T::kInteger, "100", false, 1, 10000},
    {"SMTP_USER", kSite, T::kText, ""},
    {"SMTP_PASSWORD", kSite, T::kText, "", true},
    {"SMTP_PASSWORD_FILE", kSite, T::kPath, ""},
    {"SMTP_AUTH_PLAINTEXT", kSite, T::kFlag, "0"},
    {"CHARSET", kSite, T::kText, ""},
    {"VisitorReplyTo", kSite, T::kFlag, "0"},
    {"DkimDomain", kSite, T::kText, ""},
    {"DkimSelector", kSite, T::kText, ""},
    {"DkimKeyFile", kSite, T::kPath, ""},
    {"DkimSelectorEd25519", kSite, T::kText, ""},
    {"DkimKeyFileEd25519", kSite, T::kPath, ""},
    {"DnsServer", kSite, T::kText, ""},
    {"ProfilesOnly", kSite, T::kFlag, "0"},
    {"HoneypotField", kEither, T::kText, ""},
    {"MaxLinks", kEither, T::kInteger, "", false, 0, 1000000},
    {"BlockedWords", kEither, T::kPath, ""},
    {"SpamCheck", kEither, T::kText, ""},
    {"SpamThreshold", kEither, T::kDecimal, "", false, -1000, 1000},
    {"RateLimit", kEither, T::kRate, ""},
    {"ReceiptRateLimit", kEither, T::kRate, ""},
    {"ReceiptsPerAddress", kSite, T::kInteger, "5", false, 0, 1000000},
    {"ReceiptUnsubscribeURL", kEither, T::kUrl, ""},
    {"Challenge", kEither, T::kChoice, "", false, 0, 0, "altcha"},
    {"ChallengeKey", kEither, T::kText, "", true, 32},
    {"ChallengeMaxNumber", kEither, T::kInteger, "100000", false, 1000, 10000000},
    {"ChallengeExpires", kEither, T::kInteger, "600", false, 10, 86400},
    {"Captcha", kEither, T::kChoice, "", false, 0, 0, "turnstile|hcaptcha|recaptcha"},
    {"CaptchaSecret", kEither, T::kText, "", true},
    {"CaptchaMinScore", kEither, T::kDecimal, "0.5", false, 0, 1},
    {"CaptchaVerifyURL", kEither, T::kUrl, ""},
    {"CaptchaFailOpen", kEither, T::kFlag, "0"},
    {"StateDSN", kSite, T::kText, "velloc-state.db"},
    {"ReceiptCounter", kSite, T::kChoice, "", false, 0, 0, "state"},
    {"Webhook", kEither, T::kUrl, ""},
    {"WebhookSecret", kEither, T::kText, "", true, 32},
    {"WebhookTemplate", kEither, T::kTemplate, ""},
    {"WebhookTimeout", kEither, T::kInteger, "10", false, 1, 300},
    {"WebhookTotalTimeout", kEither, T::kInteger, "10", false, 1, 300},
    {"WebhookAllowPlain", kEither, T::kFlag, "0"},
    {"HTTP_CA_FILE", kSite, T::kPath, ""},
    {"FollowLinks", kSite, T::kFlag, "0"},
    {"MaxUploadSize", kEither, T::kSize, "10M"},
    {"MaxUploads", kEither, T::kSize, "5"},
    {"UploadTypes", kEither, T::kText, ""},
    {"Response", kEither, T::kChoice, "", false, 0, 0, "json|html"},
    {"Language", kEither, T::kText, ""},
    {"Languages", kEither, T::kText, ""},
    {"LanguageFolder", kSite, T::kFolder, ""},
    {"Archive", kEither, T::kFlag, "0"},
    {"ArchiveFolder", kEither, T::kFolder, ""},
    {"KeepSubmissions", kEither, T::kInteger, "90", false, 0, 36500},
    {"Delivery", kEither, T::kChoice, "direct", false, 0, 0, "direct|queue"},
    {"ConfirmField", kEither, T::kText, ""},
    {"ConfirmHours", kEither, T::kInteger, "48", false, 1, 366 * 24},
    {"ConfirmURL", kEither, T::kUrl, ""},
    {"DeliveryRetryHours", kSite, T::kInteger, "72", false, 0, 366 * 24},
    {"Health", kSite, T::kFlag, "0"},
    {"MinFreeMegabytes", kSite, T::kInteger, "100", false, 0, 1000000},
    {"Metrics", kSite, T::kFlag, "0"},
    {"MetricsAllow", kSite, T::kText, "127.0.0.0/8, ::1"},
    {"MetricsToken", kSite, T::kText, "", true, 32},
    {"AlertWebhook", kSite, T::kUrl, ""},
    {"AlertWebhookSecret", kSite, T::kText, "", true, 32},
    {"AlertCommand", kSite, T::kPath, ""},
    {"OutboxAlertMinutes", kSite, T::kInteger, "15", false, 1, 10080},
    {"Inbox", kSite, T::kFlag, "0"},
    {"InboxUsers", kSite, T::kText, ""},
    {"InboxSecret", kSite, T::kText, "", true, 32},
    // [Form NAME]: the control fields a profile sets
    {"VisitorControls", kProfile, T::kText, ""},
    // [Form NAME]: the profile's rules (velloc/rules/form_rules.h reads their values)
    {"Route", kProfile, T::kText, ""},
    {"RouteFallback", kProfile, T::kText, ""},
    {"When", kProfile, T::kText, ""},
    {"Validate", kProfile, T::kText, ""},
    {"TEMPLATE_WEB", kProfile, T::kTemplate, ""},
    {"REDIRECT", kProfile, T::kText, ""},
    {"LINKBACK", kProfile, T::kText, ""},
    {"LINKBACKTEXT", kProfile, T::kText, "Back To Site"},
    {"REQUIRED", kProfile, T::kText, ""},
    {"REDIR_MISSING", kProfile, T::kText, ""},
    {"TEMPLATE_MISSING", kProfile, T::kTemplate, ""},
    {"TEMPLATE_DATABASE", kProfile, T::kTemplate, ""},
    {"TEMPLATE_TEXTFILE", kProfile, T::kTemplate, ""},
    {"TEMPLATE_MAIL", kProfile, T::kTemplate, ""},
    {"RECIPIENT", kProfile, T::kAddresses, ""},
    {"SUBJECT", kProfile, T::kText, ""},
    {"DEFAULTEMAIL", kProfile, T::kAddress, ""},
    {"DISABLE_MAIL", kProfile, T::kText, ""},
    {"PGP_TARGET", kProfile, T::kText, ""},
    {"DO_RECEIPT", kProfile, T::kText, ""},
    {"RECEIPT_FROM", kProfile, T::kAddress, ""},
    {"RECEIPT_SUBJECT", kProfile, T::kText, ""},
    {"TEMPLATE_RECEIPT", kProfile, T::kTemplate, ""},
    {"RECEIPT_NUMBER", kProfile, T::kText, ""},
    {"SORTORDER", kProfile, T::kText, ""},
    {"BGCOLOR", kProfile, T::kText, ""},
    {"TEXTCOLOR", kProfile, T::kText, ""},
    {"BGIMAGE", kProfile, T::kText, ""},
    {"FULLHEAD", kProfile, T::kText, ""},
    {"DEBUG_VARIABLES", kProfile, T::kText, ""},
    // [TEMPLATES] of a text-file template
    {"DETAIL", kTextFileTemplate, T::kPath, ""},
    {"DESTINATION", kTextFileTemplate, T::kPath, ""},
    {"WORKFILE", kTextFileTemplate, T::kPath, ""},
    {"HEADER", kTextFileTemplate, T::kPath, ""},
    {"FOOTER", kTextFileTemplate, T::kPath, ""},
    {"ESCAPE", kTextFileTemplate, T::kChoice, "NONE", false, 0, 0, "none|html|csv|json"},
    {"UPLOAD_FOLDER", kTextFileTemplate, T::kFolder, ""},
    // [DATABASE] of a database template
    {"DSN", kDatabaseTemplate, T::kText, ""},
    {"USER", kDatabaseTemplate, T::kText, ""},
    {"PASSWORD", kDatabaseTemplate, T::kText, "", true},
    {"TABLE", kDatabaseTemplate, T::kText, ""},
};
// clang-format on

// A key of a numbered list ("Webhook", "Route", "When", "Validate") followed by one
// to six digits is declared as the bare name.
bool is_numbered(std::string_view name, std::string_view kPrefix) {
  constexpr std::size_t kMaxDigits = 6;
  if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + kMaxDigits) return false;
  if (!platform::equal_ignoring_case(name.substr(0, kPrefix.size()), kPrefix)) return false;
  std::string_view digits = name.substr(kPrefix.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::size_t name_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      std::size_t change = diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, change});
      diagonal = above;
    }
  }
  return row[b.size()];
}

namespace {

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool valid_integer(const KeyDeclaration& key, std::string_view value, std::string* reason) {
  std::int64_t number = 0;
  auto [end, failure] = std::from_chars(value.data(), value.data() + value.size(), number);
  bool parsed = all_digits(value) && failure == std::errc() && end == value.data() + value.size();
  if (parsed && number >= key.minimum && number <= key.maximum) return true;
  *reason = "expected a whole number from " + std::to_string(key.minimum) + " to " +
            std::to_string(key.maximum);
  return false;
}

bool valid_size(const KeyDeclaration& key, std::string_view value, std::string* reason) {
  std::string_view digits = value;
  std::int64_t unit = 1;
  char last = lower(value.back());
  if (last == 'k' || last == 'm') {
    unit = last == 'k' ? 1024 : kMegabyte;
    digits.remove_suffix(1);
  }
  std::int64_t number = 0;
  auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  bool parsed =
      all_digits(digits) && failure == std::errc() && end == digits.data() + digits.size();
  bool within = key.maximum == 0 || (number <= key.maximum / unit && number * unit >= key.minimum);
  if (parsed && within) return true;
  *reason = "expected a number, or with K or M (16M)";
  if (parsed && key.maximum != 0)
    *reason += ", from " + std::to_string(key.minimum / 1024) + "K to " +
               std::to_string(key.maximum / kMegabyte) + "M";
  return false;
}

bool valid_rate(std::string_view value, std::string* reason) {
  std::size_t slash = value.find('/');
  if (slash != std::string_view::npos && all_digits(platform::trim(value.substr(0, slash))) &&
      all_digits(platform::trim(value.substr(slash + 1))))
    return true;
  *reason = "expected N/SECONDS (20/3600)";
  return false;
}

bool valid_decimal(const KeyDeclaration& key, std::string_view value, std::string* reason) {
  double number = 0;
  auto [end, failure] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (failure == std::errc() && end == value.data() + value.size() &&
      number >= static_cast<double>(key.minimum) && number <= static_cast<double>(key.maximum))
    return true;
  *reason = "expected a number from " + std::to_string(key.minimum) + " to " +
            std::to_string(key.maximum);
  return false;
}

bool valid_choice(const KeyDeclaration& key, std::string_view value, std::string* reason) {
  std::vector<std::string> choices = platform::split_at(std::string(key.choices), "|");
  for (const std::string& choice : choices)
    if (platform::equal_ignoring_case(choice, value)) return true;
  *reason = "expected ";
  for (std::size_t i = 0; i < choices.size(); ++i)
    *reason += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
  return false;
}

bool valid_url(std::string_view value, std::string* reason) {
  for (std::string_view scheme : {"https://", "http://"})
    if (value.size() > scheme.size() &&
        platform::equal_ignoring_case(value.substr(0, scheme.size()), scheme))
      return true;
  *reason = "expected an https:// address";
  return false;
}

}  // namespace

std::span<const KeyDeclaration> declared_keys() { return kKeys; }

const KeyDeclaration* find_key(std::string_view name, unsigned places) {
  for (std::string_view list : {"Webhook", "Route", "When", "Validate"})
    if (is_numbered(name, list)) name = list;
  for (const KeyDeclaration& key : kKeys)
    if ((key.places & places) != 0 && platform::equal_ignoring_case(key.name, name)) return &key;
  return nullptr;
}

std::string_view nearest_key(std::string_view name, unsigned places) {
  // No key is this long; a longer name is no typing slip and would cost time.
  constexpr std::size_t kLongestGuess = 64;
  std::string_view best;
  if (name.size() > kLongestGuess) return best;
  std::size_t best_distance = std::max<std::size_t>(2, name.size() / 3) + 1;
  for (const KeyDeclaration& key : kKeys) {
    if ((key.places & places) == 0) continue;
    std::size_t d = name_distance(name, key.name);
    if (d < best_distance) {
      best = key.name;
      best_distance = d;
    }
  }
  return best;
}

bool valid_value(const KeyDeclaration& key, std::string_view value, std::string* reason) {
  if (value.empty()) return true;
  switch (key.type) {
    case ValueType::kInteger:
      return valid_integer(key, value, reason);
    case ValueType::kFlag:
      if (value == "0" || value == "1") return true;
      *reason = "expected 0 or 1";
      return false;
    case ValueType::kSize:
      return valid_size(key, value, reason);
    case ValueType::kRate:
      return valid_rate(value, reason);
    case ValueType::kDecimal:
      return valid_decimal(key, value, reason);
    case ValueType::kChoice:
      return valid_choice(key, value, reason);
    case ValueType::kUrl:
      return valid_url(value, reason);
    default:
      return true;
  }
}

}  // namespace settings
