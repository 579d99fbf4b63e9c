#include "velloc/settings/load_settings.h"

#include <sys/stat.h>

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
#include "velloc/language/visitor_texts.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

constexpr char kSettingsFileName[] = "VELLOC.ini";
constexpr char kSection[] = "Velloc";
constexpr char kSystemDirectory[] = "/etc/velloc/";
#ifndef VELLOC_SETTINGS_DIRECTORY
#define VELLOC_SETTINGS_DIRECTORY "/etc/velloc/"
#endif
// The build's fallback folder, searched after the documented ones.
constexpr char kFallbackDirectory[] = VELLOC_SETTINGS_DIRECTORY;
constexpr char kFallbackRecipient[] = "webmaster";

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

// A directory text ends in a separator; a value without one gets "\" (a POSIX
// path that already ends in "/" is complete as it is).
std::string as_directory_prefix(std::string directory) {
  if (!directory.empty() && directory.back() != '\\' && directory.back() != '/') directory += '\\';
  return directory;
}

// A value that stands for a default taken from the process, cut as a value read is.
std::string defaulted(const std::optional<std::string>& value, const std::string& fallback) {
  return value ? *value : fallback.substr(0, platform::kMaxIniValue);
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

SmtpTls smtp_tls_of(settings::Tls tls) {
  switch (tls) {
    case settings::Tls::kNone:
      return SmtpTls::kNone;
    case settings::Tls::kStartTls:
      return SmtpTls::kStartTls;
    case settings::Tls::kImplicit:
      return SmtpTls::kImplicit;
    case settings::Tls::kUnknown:
      break;
  }
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
void load_mail_transport(MailMessage& message, const settings::SiteSettings& site) {
  message.smtp_tls = smtp_tls_of(site.tls);
  if (message.smtp_tls == SmtpTls::kImplicit) message.smtp_port = 465;
  message.ca_file = site.smtp_ca_file;
  message.tls_verify = site.tls_verify;
  message.smtp_user = site.smtp_user;
  message.smtp_password = site.smtp_password;
  if (!site.smtp_password_file.empty())
    message.smtp_password = read_password_file(message, site.smtp_password_file);
  message.auth_plaintext = site.auth_plaintext;
  message.site_charset = site.charset;
  message.smtp_connections = site.smtp_connections;
  message.smtp_messages_per_connection = site.smtp_messages_per_connection;
  message.dkim = {site.dkim_domain, site.dkim_selector, site.dkim_key_file,
                  site.dkim_selector_ed25519, site.dkim_key_file_ed25519};
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

constexpr char kProfileField[] = "FORM_PROFILE";
using text::kUnknownForm;

// The name as the log shows it: control characters cannot start a line of
// their own.
std::string printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text;
}

}  // namespace

void apply_form_profile(Run& run) {
  std::string requested(platform::trim(run.request.get_field(kProfileField)));
  if (requested.empty() && run.sends_only) return;
  const settings::SiteSettings& site = *run.settings.site;
  ProfileEntries profile;
  std::string section = "Form " + requested;
  if (!requested.empty() && !site.file.empty()) profile = settings::profile_section(site, section);
  switch (decide_profile(requested, !profile.empty(), site.profiles_only)) {
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
      run.message.form = requested;
      return;
  }
}

AnswerFormat decide_answer_format(const Run& run) {
  return choose_answer_format(run.request.get_env("HTTP_ACCEPT"),
                              run.request.get_env("CONTENT_TYPE"), run.settings.response);
}

std::vector<std::string> settings_search_directories(const ProcessFacts& facts) {
  std::vector<std::string> directories{
      facts.executable_directory, with_trailing_slash(current_directory(facts)), kSystemDirectory};
  for (const std::string& directory : platform::split_at(facts.search_path, ":"))
    directories.push_back(with_trailing_slash(directory));
  std::string fallback = with_trailing_slash(kFallbackDirectory);
  if (!fallback.empty() && fallback != kSystemDirectory) directories.push_back(fallback);
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

std::string temp_directory_setting(const settings::SiteSettings& site, const ProcessFacts& facts) {
  return defaulted(site.temp, current_directory(facts));
}

void load_settings(Run& run) { load_settings_from(run, find_settings_file(run.site.facts())); }

void load_settings_from(Run& run, const std::string& settings_file) {
  Settings& settings = run.settings;
  MailMessage& message = run.message;
  settings.site = run.site.site_settings(settings_file);
  const settings::SiteSettings& site = *settings.site;
  const ProcessFacts& facts = run.site.facts();

  settings.start_directory = current_directory(facts);
  settings.settings_file = settings_file;
  message.temp_dir = defaulted(site.temp, settings.start_directory);
  message.follow_links = site.follow_links;
  message.log_file = site.log_file;
  message.default_sender = site.default_sender;
  message.log_level = run.dry_run ? 0 : site.log_level;  // 0: nothing is logged
  message.log_format = site.log_format;

  settings.allow_debug = site.allow_debug;
  // The format of an answer before the profile applies ([Velloc]'s Response), and after.
  settings.response = site.response;
  run.answer_format = decide_answer_format(run);
  apply_form_profile(run);
  settings::resolve_form_settings(site, settings);
  run.answer_format = decide_answer_format(run);
  // What the archive keeps is what the visitor sent, before any default joins it.
  if (settings.archive && !run.visitor_fields && !run.sends_only)
    run.visitor_fields = run.request.fields;
  answer_preflight(run);
  if (run.request.field_is_set("RECEIPT_NUMBER")) {
    platform::IniFiles& files = run.site.settings_files();
    int number = answers_with_debug_listing(settings.allow_debug, run.request) || run.dry_run
                     ? read_receipt_number(files, settings_file)
                     : take_receipt_number(run);
    run.request.set_field("RECEIPT_NUMBER", std::to_string(number));
  }

  settings.pgp_directory =
      as_directory_prefix(defaulted(site.pgp_path, facts.executable_directory));
  settings.template_directory = site.template_directory;
  message.smtp_server = site.smtp_server;
  settings.referers = site.referers;
  settings.default_recipient = site.default_recipient;
  settings.allowed_recipients = site.allowed_recipients;
  settings.redirect_hosts = site.redirect_hosts;
  settings.escape_web_templates = site.escape_web_templates;
  load_mail_transport(message, site);
  settings.charset = message.site_charset;
  settings.visitor_reply_to = site.visitor_reply_to;
  default_address_fields(run);
}
