#include "velloc/request/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "platform/ini_file.h"
#include "platform/path_map.h"
#include "platform/text.h"
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

// The current receipt number; the file keeps the next one. Without a settings
// file the number is the default and nothing is stored.
int take_receipt_number(const std::string& settings_file) {
  if (settings_file.empty()) return platform::parse_leading_int("1");
  std::optional<int> current =
      platform::advance_ini_counter(settings_file, kSection, "ReceiptNumber", "1");
  if (current) return *current;
  return platform::parse_leading_int(
      platform::read_ini_string(settings_file, kSection, "ReceiptNumber", "1"));
}

// A level that does not begin with a digit counts as 0: nothing is logged.
int parse_log_level(const std::string& value) {
  if (value.empty() || value.front() < '0' || value.front() > '9') return 0;
  return platform::parse_leading_int(value);
}

void default_address_fields(Run& run) {
  CgiRequest& request = run.request;
  if (request.field_is_blank("EMAIL") && request.field_is_set("DEFAULTEMAIL"))
    request.set_field("EMAIL", request.get_field("DEFAULTEMAIL"));
  if (request.field_is_blank("RECIPIENT")) {
    const std::string& fallback = run.settings.default_recipient;
    request.set_field("RECIPIENT", fallback.empty() ? kFallbackRecipient : fallback);
  }
}

}  // namespace

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
  message.log_file = read("LOGFILE", kDefaultLogFile);
  message.default_sender = read("DEFAULTSENDER", kDefaultSender);
  message.log_level = parse_log_level(read("LOG_LEVEL", "1"));

  if (run.request.field_is_set("RECEIPT_NUMBER"))
    run.request.set_field("RECEIPT_NUMBER", std::to_string(take_receipt_number(settings_file)));

  settings.pgp_directory = as_directory_prefix(settings.pgp_directory);
  settings.template_directory = read("TEMPLATE_DIR", kDefaultTemplateDirectory);
  message.smtp_server = read("SMTP", kDefaultSmtpServer);
  settings.referers = read("Referers", "");
  settings.default_recipient = read("DefaultRecipient", "");
  default_address_fields(run);
}

std::string referer_host(const std::string& referer) {
  std::vector<std::string> pieces =
      platform::split_at(std::string_view(referer).substr(0, kMaxRefererLength), "/");
  return pieces.size() < 2 ? std::string() : pieces[1];
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
