#include "velloc/request/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <optional>

#include "platform/ini_file.h"
#include "platform/path_map.h"
#include "platform/temp_file.h"
#include "platform/text.h"
#include "velloc/guard/address_cleaning.h"
#include "velloc/guard/debug_listing_policy.h"
#include "velloc/guard/form_profile.h"
#include "velloc/guard/origin_check.h"
#include "velloc/guard/submission_limits.h"
#include "velloc/request/event_log.h"
#include "velloc/request/refusal.h"
#include "velloc/run.h"
#include "velloc/webhook/retry_schedule.h"

namespace {

constexpr char kSettingsFileName[] = "VELLOC.ini";
constexpr char kSection[] = "Velloc";
constexpr char kSystemDirectory[] = "/etc/velloc/";
constexpr char kDefaultLogFile[] = "BRANNIC.LOG";
constexpr char kDefaultSender[] = "velloc@localhost";
constexpr char kDefaultTemplateDirectory[] = ".\\BRANNIC\\TEMPLATES\\";
constexpr char kDefaultSmtpServer[] = "mail";
constexpr char kFallbackRecipient[] = "webmaster";
constexpr std::size_t kMaxRefererLength = 1999;
constexpr std::int64_t kKibibyte = 1024;
constexpr std::int64_t kDefaultMaxRequestSize = 16 * kKibibyte * kKibibyte;
constexpr std::int64_t kDefaultMaxFields = 10000;
// Long enough for any list an operator writes; the 259-character cut of other values
// could turn an entry into another one ("@example.com" into "@example.c",
// "https://example.com" into "https://example.co").
constexpr std::size_t kMaxRecipientList = 64 * 1024;

bool is_regular_file(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string with_trailing_slash(std::string directory) {
  if (!directory.empty() && directory.back() != '/') directory += '/';
  return directory;
}

std::string current_directory(const ProcessFacts& facts) {
  return facts.working_directory.empty() ? "." : facts.working_directory;
}

// Splits `text` at any of `separators`; runs of separators make no empty
// pieces.
// A directory text ends in a separator; a value without one gets "\" (a POSIX
// path that already ends in "/" is complete as it is).
std::string as_directory_prefix(std::string directory) {
  if (!directory.empty() && directory.back() != '\\' && directory.back() != '/') directory += '\\';
  return directory;
}

// The current receipt number, left as it is.
int read_receipt_number(platform::IniFiles& files, const std::string& settings_file) {
  if (settings_file.empty()) return platform::parse_leading_int("1");
  return platform::parse_leading_int(
      files.read_string(settings_file, kSection, "ReceiptNumber", "1"));
}

// The current receipt number; the file keeps the next one. Without a settings
// file the number is the default and nothing is stored.
int take_receipt_number(Run& run) {
  const std::string& settings_file = run.settings.settings_file;
  platform::IniFiles& files = run.site.settings_files();
  if (settings_file.empty()) return read_receipt_number(files, settings_file);
  if (receipt_counter_in_state(run))
    return take_state_receipt_number(run, read_receipt_number(files, settings_file));
  std::optional<int> current;
  {
    // The new file written beside the settings is renamed over them or removed, even
    // when the run is told to end meanwhile.
    platform::TempFileRegistry::EndingHold hold(run.site.temp_files());
    current = files.advance_counter(settings_file, kSection, "ReceiptNumber", "1");
  }
  return current ? *current : read_receipt_number(files, settings_file);
}

// A level that does not begin with a digit counts as 0: nothing is logged.
int parse_log_level(const std::string& value) {
  if (value.empty() || value.front() < '0' || value.front() > '9') return 0;
  return platform::parse_leading_int(value);
}

SmtpTls parse_smtp_tls(const std::string& value) {
  if (value.empty() || platform::equal_ignoring_case(value, "none")) return SmtpTls::kNone;
  if (platform::equal_ignoring_case(value, "starttls")) return SmtpTls::kStartTls;
  if (platform::equal_ignoring_case(value, "tls")) return SmtpTls::kImplicit;
  return SmtpTls::kUnknown;
}

// The first line of the password file, without its line end.
std::string read_password_file(const MailMessage& message, const std::string& path) {
  std::ifstream file(platform::native_path(path), std::ios::binary);
  std::string password;
  if (!file || !std::getline(file, password)) {
    log_event(message, 1, "Could not read the SMTP password file '%s'.\n", path.c_str());
    return {};
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

// Transport security, login and character set of the mail.
template <typename Read>
void load_mail_transport(MailMessage& message, const Read& read) {
  message.smtp_tls = parse_smtp_tls(std::string(platform::trim(read("SMTP_TLS", ""))));
  if (message.smtp_tls == SmtpTls::kImplicit) message.smtp_port = 465;
  message.ca_file = read("SMTP_CA_FILE", "");
  message.tls_verify = read("SMTP_TLS_VERIFY", "1") != "0";
  message.smtp_user = read("SMTP_USER", "");
  message.smtp_password = read("SMTP_PASSWORD", "");
  std::string password_file = read("SMTP_PASSWORD_FILE", "");
  if (!password_file.empty()) message.smtp_password = read_password_file(message, password_file);
  message.auth_plaintext = read("SMTP_AUTH_PLAINTEXT", "0") == "1";
  message.site_charset = std::string(platform::trim(read("CHARSET", "")));
}

// The settings of the defences, the profile's values before the file's.
template <typename Read>
void load_guard_settings(Run& run, const Read& read) {
  Settings& settings = run.settings;
  auto profiled = [&](std::string_view key) { return profile_or_setting(run, key).value_or(""); };
  settings.upload_limits = parse_upload_limits(profiled("MaxUploadSize"), profiled("MaxUploads"),
                                               profiled("UploadTypes"));
  settings.honeypot_field = profiled("HoneypotField");
  settings.rate_limit = profiled("RateLimit");
  settings.receipt_rate_limit = profiled("ReceiptRateLimit");
  settings.allowed_origins =
      profile_or_setting(run, "AllowedOrigins", kMaxRecipientList).value_or("");
  settings.archive = platform::trim(profiled("Archive")) == "1";
  settings.archive_folder = std::string(platform::trim(profiled("ArchiveFolder")));
  settings.keep_submissions_days = parse_keep_days(profiled("KeepSubmissions"));
  settings.delivery_retry_hours = parse_retry_hours(read("DeliveryRetryHours", ""));
  settings.state_dsn = read("StateDSN", "");
  settings.receipt_counter_in_state =
      platform::equal_ignoring_case(read("ReceiptCounter", ""), "state");
}

}  // namespace

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

namespace {

// Addresses too long for mail count as none (address_cleaning.h); the log tells.
void log_overlong_addresses(const Run& run, std::string_view field) {
  for_each_overlong_address(run.request.field_text(field), [&](std::string_view address) {
    log_event(run.message, 1, "%s: %s\n", std::string(field).c_str(),
              overlong_address_note(address).c_str());
  });
}

// A field that holds no address once cleaned counts as blank here, so that the
// fallbacks apply to it.
void default_address_fields(Run& run) {
  CgiRequest& request = run.request;
  for (std::string_view field : {"EMAIL", "RECIPIENT", "RECEIPT_FROM"})
    log_overlong_addresses(run, field);
  if (first_address(request.field_text("EMAIL")).empty() && request.field_is_set("DEFAULTEMAIL"))
    request.set_field("EMAIL", request.get_field("DEFAULTEMAIL"));
  if (first_address(request.field_text("RECIPIENT")).empty()) {
    const std::string& fallback = run.settings.default_recipient;
    request.set_field("RECIPIENT", fallback.empty() ? kFallbackRecipient : fallback);
  }
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

constexpr char kProfileField[] = "FORM_PROFILE";
constexpr char kUnknownForm[] = "Unknown Form!";

// The name as the log shows it: control characters cannot start a line of
// their own.
std::string printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text;
}

bool profiles_only(const Run& run) {
  const std::string& file = run.settings.settings_file;
  if (file.empty()) return false;
  return platform::parse_leading_int(
             run.site.settings_files().read_string(file, kSection, "ProfilesOnly", "0")) == 1;
}

}  // namespace

void apply_form_profile(Run& run) {
  std::string requested(platform::trim(run.request.get_field(kProfileField)));
  if (requested.empty() && run.sends_only) return;
  ProfileEntries profile;
  std::string section = "Form " + requested;
  if (!requested.empty() && !run.settings.settings_file.empty())
    profile = run.site.settings_files().read_section(run.settings.settings_file, section);
  switch (decide_profile(requested, !profile.empty(), profiles_only(run))) {
    case ProfileOutcome::kNoProfile:
      return;
    case ProfileOutcome::kUnknown:
      // A preflight is no submission and carries no fields: one that names no profile
      // (ProfilesOnly) is judged by the settings' AllowedOrigins; one that names an
      // unknown profile is refused without a failure of its own.
      if (is_preflight(run.request)) {
        if (requested.empty()) return;
        throw RunEnded{refused_preflight()};
      }
      log_event(run.message, 1, "Unknown form profile: %s\n", printable(requested).c_str());
      fail_request(run.message, kUnknownForm, Reason::kUnknownForm);
    case ProfileOutcome::kApply:
      run.visitor_fields = run.request.fields;
      remove_fields(*run.visitor_fields, [](const std::string& name) {
        return platform::equal_ignoring_case(name, kProfileField);
      });
      apply_profile_fields(run.request.fields, profile);
      run.settings.form_profile = std::move(profile);
      run.settings.form_profile_section = std::move(section);
      return;
  }
}

AnswerFormat decide_answer_format(const Run& run) {
  return choose_answer_format(run.request.get_env("HTTP_ACCEPT"),
                              run.request.get_env("CONTENT_TYPE"),
                              profile_or_setting(run, "Response").value_or(""));
}

std::optional<std::string> profile_or_setting(const Run& run, std::string_view key,
                                              std::size_t max_length) {
  const Settings& settings = run.settings;
  platform::IniFiles& files = run.site.settings_files();
  for (const auto& [name, value] : settings.form_profile) {
    if (!platform::equal_ignoring_case(name, key)) continue;
    // The profile's entries are cut to the usual length; a longer value is read again.
    if (max_length <= platform::kMaxIniValue) return value.substr(0, max_length);
    return files.find_value(settings.settings_file, settings.form_profile_section, key, max_length)
        .value_or(value);
  }
  if (settings.settings_file.empty()) return std::nullopt;
  return files.find_value(settings.settings_file, kSection, key, max_length);
}

std::string form_profile_name(const Settings& settings) {
  constexpr std::string_view kPrefix = "Form ";
  std::string_view section = settings.form_profile_section;
  if (settings.form_profile.empty() || !section.starts_with(kPrefix)) return {};
  return std::string(section.substr(kPrefix.size()));
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

RequestLimits read_request_limits(platform::IniFiles& files, const std::string& settings_file) {
  if (settings_file.empty()) return request_limits_from(std::nullopt, std::nullopt);
  return request_limits_from(files.find_value(settings_file, kSection, "MaxRequestSize"),
                             files.find_value(settings_file, kSection, "MaxFields"));
}

std::vector<std::string> settings_search_directories(const ProcessFacts& facts) {
  std::vector<std::string> directories{
      facts.executable_directory, with_trailing_slash(current_directory(facts)), kSystemDirectory};
  for (const std::string& directory : platform::split_at(facts.search_path, ":"))
    directories.push_back(with_trailing_slash(directory));
  return directories;
}

std::string find_settings_file(const ProcessFacts& facts) {
  for (const std::string& directory : settings_search_directories(facts)) {
    std::string candidate = platform::native_path(directory + kSettingsFileName);
    if (is_regular_file(candidate)) return candidate;
  }
  return {};
}

std::string request_settings_file(Site& site) {
  if (!site.keeps_last_good_settings()) return find_settings_file(site.facts());
  Site::SettingsFileInUse& in_use = site.settings_file_in_use();
  platform::IniFiles& files = site.settings_files();
  for (const std::string& directory : settings_search_directories(site.facts())) {
    if (directory == in_use.directory) return in_use.file;
    std::string candidate = platform::native_path(directory + kSettingsFileName);
    if (!is_regular_file(candidate)) continue;
    // While a file is in use, one found before it must be good to take its place.
    if (!in_use.file.empty() && !files.has_section(candidate, kSection)) continue;
    in_use = {directory, candidate};
    files.keep_last_good(candidate, kSection);
    return candidate;
  }
  return {};
}

std::string temp_directory_setting(Site& site, const std::string& settings_file) {
  std::string working_directory = current_directory(site.facts());
  if (settings_file.empty()) return working_directory.substr(0, platform::kMaxIniValue);
  return site.settings_files().read_string(settings_file, kSection, "TEMP", working_directory);
}

std::string site_allowed_origins(Site& site, const std::string& settings_file) {
  if (settings_file.empty()) return {};
  return site.settings_files()
      .find_value(settings_file, kSection, "AllowedOrigins", kMaxRecipientList)
      .value_or("");
}

void read_log_settings(Site& site, const std::string& settings_file, MailMessage& message) {
  auto read = [&](std::string_view key, std::string_view fallback) {
    if (settings_file.empty()) return std::string(fallback);
    return site.settings_files().read_string(settings_file, kSection, key, fallback);
  };
  message.log_file = read("LOGFILE", kDefaultLogFile);
  message.log_level = parse_log_level(read("LOG_LEVEL", "1"));
}

bool follow_links_setting(Site& site, const std::string& settings_file) {
  return !settings_file.empty() &&
         site.settings_files().read_string(settings_file, kSection, "FollowLinks", "0") == "1";
}

void load_settings(Run& run) { load_settings_from(run, find_settings_file(run.site.facts())); }

void load_settings_from(Run& run, const std::string& settings_file) {
  Settings& settings = run.settings;
  MailMessage& message = run.message;
  platform::IniFiles& files = run.site.settings_files();
  auto read = [&](std::string_view key, std::string_view fallback) {
    if (settings_file.empty()) return std::string(fallback.substr(0, platform::kMaxIniValue));
    return files.read_string(settings_file, kSection, key, fallback);
  };

  settings.start_directory = current_directory(run.site.facts());
  settings.settings_file = settings_file;
  settings.pgp_directory = read("PGP_Path", run.site.facts().executable_directory);
  message.temp_dir = read("TEMP", settings.start_directory);
  message.follow_links = read("FollowLinks", "0") == "1";
  message.log_file = read("LOGFILE", kDefaultLogFile);
  message.default_sender = read("DEFAULTSENDER", kDefaultSender);
  message.log_level = parse_log_level(read("LOG_LEVEL", "1"));

  settings.allow_debug = read("AllowDebug", "") != "0";
  run.answer_format = decide_answer_format(run);
  apply_form_profile(run);
  run.answer_format = decide_answer_format(run);
  load_guard_settings(run, read);
  // What the archive keeps is what the visitor sent, before any default joins it.
  if (settings.archive && !run.visitor_fields && !run.sends_only)
    run.visitor_fields = run.request.fields;
  answer_preflight(run);
  load_webhook_settings(run);
  if (run.request.field_is_set("RECEIPT_NUMBER")) {
    int number = answers_with_debug_listing(settings.allow_debug, run.request)
                     ? read_receipt_number(files, settings_file)
                     : take_receipt_number(run);
    run.request.set_field("RECEIPT_NUMBER", std::to_string(number));
  }

  settings.pgp_directory = as_directory_prefix(settings.pgp_directory);
  settings.template_directory = read("TEMPLATE_DIR", kDefaultTemplateDirectory);
  message.smtp_server = read("SMTP", kDefaultSmtpServer);
  settings.referers = read("Referers", "");
  settings.default_recipient = read("DefaultRecipient", "");
  if (!settings_file.empty())
    settings.allowed_recipients =
        files.find_value(settings_file, kSection, "AllowedRecipients", kMaxRecipientList);
  settings.redirect_hosts = read("RedirectHosts", "");
  settings.escape_web_templates = read("EscapeWebTemplates", "") != "0";
  load_mail_transport(message, read);
  settings.charset = message.site_charset;
  settings.visitor_reply_to = read("VisitorReplyTo", "0") == "1";
  default_address_fields(run);
}

std::string html_content_type(const Settings& settings) {
  if (settings.charset.empty()) return "text/html";
  return "text/html; charset=" + settings.charset;
}

namespace {

// The referer without its "http://" or "https://" (either in any case); nullopt
// for any other scheme and for text that is not an absolute address.
std::optional<std::string_view> after_web_scheme(std::string_view referer) {
  for (std::string_view scheme : {"http://", "https://"})
    if (referer.size() >= scheme.size() &&
        platform::equal_ignoring_case(referer.substr(0, scheme.size()), scheme))
      return referer.substr(scheme.size());
  return std::nullopt;
}

}  // namespace

std::string referer_host(const std::string& referer) {
  std::string_view considered = std::string_view(referer).substr(0, kMaxRefererLength);
  std::optional<std::string_view> rest = after_web_scheme(considered);
  if (!rest) return {};
  std::size_t end = rest->find_first_of("/?#");
  // An authority that runs past the considered characters is not known whole.
  if (end == std::string_view::npos && referer.size() > kMaxRefererLength) return {};
  return std::string(rest->substr(0, end));
}

bool check_referer(const Run& run) {
  const std::string& referers = run.settings.referers;
  if (referers.empty()) return true;
  std::string referer = run.request.get_env("HTTP_REFERER");
  // A page served with "Referrer-Policy: no-referrer" still tells its origin; "null"
  // names no page.
  if (referer.empty()) {
    referer = run.request.get_env("HTTP_ORIGIN");
    if (referer == "null") return false;
  }
  if (referer.empty()) return false;
  std::vector<std::string> allowed = platform::split_at(referers, ", ");
  if (allowed.empty()) return true;
  std::string host = referer_host(referer);
  for (const std::string& entry : allowed)
    if (platform::equal_ignoring_case(entry, host)) return true;
  return false;
}
