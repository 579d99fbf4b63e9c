#include "velloc/request/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "platform/ini_file.h"
#include "platform/path_map.h"
#include "platform/text.h"
#include "velloc/guard/address_cleaning.h"
#include "velloc/guard/form_profile.h"
#include "velloc/guard/submission_limits.h"
#include "velloc/request/diagnostics.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

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
// could turn an entry into another one ("@example.com" into "@example.c").
constexpr std::size_t kMaxRecipientList = 64 * 1024;

bool is_regular_file(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string with_trailing_slash(std::string directory) {
  if (!directory.empty() && directory.back() != '/') directory += '/';
  return directory;
}

std::string current_directory() {
  char* path = getcwd(nullptr, 0);
  if (path == nullptr) return ".";
  std::string directory(path);
  std::free(path);
  return directory;
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
int read_receipt_number(const std::string& settings_file) {
  if (settings_file.empty()) return platform::parse_leading_int("1");
  return platform::parse_leading_int(
      platform::read_ini_string(settings_file, kSection, "ReceiptNumber", "1"));
}

// The current receipt number; the file keeps the next one. Without a settings
// file the number is the default and nothing is stored.
int take_receipt_number(Run& run) {
  const std::string& settings_file = run.settings.settings_file;
  if (settings_file.empty()) return read_receipt_number(settings_file);
  if (receipt_counter_in_state(run))
    return take_state_receipt_number(run, read_receipt_number(settings_file));
  std::optional<int> current =
      platform::advance_ini_counter(settings_file, kSection, "ReceiptNumber", "1");
  return current ? *current : read_receipt_number(settings_file);
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

}  // namespace

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

RequestLimits read_request_limits(const std::string& settings_file) {
  if (settings_file.empty()) return request_limits_from(std::nullopt, std::nullopt);
  return request_limits_from(platform::find_ini_value(settings_file, kSection, "MaxRequestSize"),
                             platform::find_ini_value(settings_file, kSection, "MaxFields"));
}

std::vector<std::string> settings_search_directories() {
  std::vector<std::string> directories{platform::executable_directory(),
                                       with_trailing_slash(current_directory()), kSystemDirectory};
  const char* path = std::getenv("PATH");
  if (path != nullptr)
    for (const std::string& directory : platform::split_at(path, ":"))
      directories.push_back(with_trailing_slash(directory));
  return directories;
}

std::string find_settings_file() {
  for (const std::string& directory : settings_search_directories()) {
    std::string candidate = platform::native_path(directory + kSettingsFileName);
    if (is_regular_file(candidate)) return candidate;
  }
  return {};
}

std::string temp_directory_setting() {
  std::string settings_file = find_settings_file();
  if (settings_file.empty()) return current_directory().substr(0, platform::kMaxIniValue);
  return platform::read_ini_string(settings_file, kSection, "TEMP", current_directory());
}

bool follow_links_setting() {
  std::string settings_file = find_settings_file();
  return !settings_file.empty() &&
         platform::read_ini_string(settings_file, kSection, "FollowLinks", "0") == "1";
}

void load_settings(Run& run) { load_settings_from(run, find_settings_file()); }

void load_settings_from(Run& run, const std::string& settings_file) {
  Settings& settings = run.settings;
  MailMessage& message = run.message;
  auto read = [&](std::string_view key, std::string_view fallback) {
    if (settings_file.empty()) return std::string(fallback.substr(0, platform::kMaxIniValue));
    return platform::read_ini_string(settings_file, kSection, key, fallback);
  };

  settings.start_directory = current_directory();
  settings.settings_file = settings_file;
  settings.pgp_directory = read("PGP_Path", platform::executable_directory());
  message.temp_dir = read("TEMP", settings.start_directory);
  message.follow_links = read("FollowLinks", "0") == "1";
  message.log_file = read("LOGFILE", kDefaultLogFile);
  message.default_sender = read("DEFAULTSENDER", kDefaultSender);
  message.log_level = parse_log_level(read("LOG_LEVEL", "1"));

  settings.allow_debug = read("AllowDebug", "") != "0";
  apply_form_profile(run);
  if (run.request.field_is_set("RECEIPT_NUMBER")) {
    int number = answers_with_debug_listing(run) ? read_receipt_number(settings_file)
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
        platform::find_ini_value(settings_file, kSection, "AllowedRecipients", kMaxRecipientList);
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
  if (referer.empty()) return false;
  std::vector<std::string> allowed = platform::split_at(referers, ", ");
  if (allowed.empty()) return true;
  std::string host = referer_host(referer);
  for (const std::string& entry : allowed)
    if (platform::equal_ignoring_case(entry, host)) return true;
  return false;
}
