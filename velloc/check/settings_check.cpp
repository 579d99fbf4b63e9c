#include "velloc/check/settings_check.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

#include "platform/ini_file.h"
#include "platform/path_map.h"
#include "platform/text.h"
#include "velloc/guard/recipient_policy.h"
#include "velloc/mail/dkim_key.h"
#include "velloc/mail/dkim_signer.h"
#include "velloc/mail/smtp_connection.h"
#include "velloc/rules/form_rules.h"
#include "velloc/settings/form_files.h"
#include "velloc/settings/settings_model.h"
#include "velloc/settings/site_settings.h"
#include "velloc/storage/odbc_database.h"
#include "velloc/templates/text_files.h"
#include "velloc/webhook/webhook_target.h"

namespace {

using settings::KeyDeclaration;
using Severity = SettingsProblem::Severity;

constexpr char kVelloc[] = "Velloc";
constexpr char kNamedWebhooks[] = "Webhooks";
// The place of [Webhooks]' keys: names of webhooks, no declared key.
constexpr unsigned kNamedWebhooksPlace = 1u << 16;
constexpr std::string_view kFormPrefix = "Form ";
constexpr char kDefaultTemplateDirectory[] = ".\\BRANNIC\\TEMPLATES\\";

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(platform::native_path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The DKIM keys of the first [Velloc] section, trimmed.
DkimSettings dkim_settings_of(const std::vector<platform::IniEntry>& entries) {
  DkimSettings dkim;
  const std::pair<const char*, std::string*> keys[] = {
      {"DkimDomain", &dkim.domain},
      {"DkimSelector", &dkim.selector},
      {"DkimKeyFile", &dkim.key_file},
      {"DkimSelectorEd25519", &dkim.selector_ed25519},
      {"DkimKeyFileEd25519", &dkim.key_file_ed25519}};
  int velloc_sections = 0;
  bool in_velloc = false;
  for (const platform::IniEntry& entry : entries) {
    if (entry.kind == platform::IniEntry::Kind::kSection) {
      in_velloc = platform::equal_ignoring_case(entry.name, "Velloc") && ++velloc_sections == 1;
      continue;
    }
    for (const auto& [name, value] : keys)
      if (in_velloc && platform::equal_ignoring_case(entry.name, name) && value->empty())
        *value = std::string(platform::trim(entry.value));
  }
  return dkim;
}

bool is_profile(std::string_view section) {
  return section.size() > kFormPrefix.size() &&
         platform::equal_ignoring_case(section.substr(0, kFormPrefix.size()), kFormPrefix);
}

// The values the file checks need from [Velloc].
struct SiteValues {
  std::string template_directory = kDefaultTemplateDirectory;
  // Delivery=queue and Archive=1 in [Velloc], which a profile takes unless it sets them.
  bool delivery_queue = false;
  bool archive = false;
  bool confirm = false;  // ConfirmField set in [Velloc]
  // Who a profile's routing may name (recipient_policy.h).
  std::string default_recipient;
  std::optional<std::string> allowed_recipients;
  // The names [Webhooks] lists with an address, in lower case; nullopt where the file
  // checked is no settings file (no [Velloc], no [Webhooks]): a forms.d file on its own.
  std::optional<std::set<std::string>> webhook_names;
  bool webhook_allow_plain = false;  // WebhookAllowPlain=1 in [Velloc]
};

// What one section says of queue mode, and where.
struct QueueKeys {
  std::optional<bool> queue;    // Delivery=queue
  std::optional<bool> archive;  // Archive=1
  int line = 0;                 // of the section's Delivery key, else of its Archive key
  std::optional<bool> confirm;  // ConfirmField set (not empty)
  int confirm_line = 0;
};

class Checker {
 public:
  // `descend`: the templates a settings file names are checked with it; else only
  // whether they exist (each template is then a file of its own).
  Checker(std::string working_directory, bool descend = true)
      : working_directory_(std::move(working_directory)), descend_(descend) {}

  // The ODBC data sources are not asked for: a DSN is then taken as it stands.
  void skip_data_sources() { data_sources_read_ = true; }
  // The DKIM key files are only looked for, not read.
  void skip_dkim_keys() { dkim_keys_ = false; }
  // The relay's name is looked up with `resolver`, waiting at most `bound`.
  void look_up_relay(CheckLookups::HostResolver resolver, std::chrono::seconds bound) {
    relay_resolver_ = std::move(resolver);
    relay_bound_ = bound;
  }
  void check_settings_file(const std::string& file);
  void check_start(const std::string& file, std::string_view content);
  void check_settings_content(const std::string& file, std::string_view content);
  void check_form_file(const std::string& file);
  void check_text_file_template(const std::string& path, std::string_view content);
  void check_database_template(const std::string& path, std::string_view content);
  std::vector<SettingsProblem> problems() { return std::move(problems_); }

 private:
  void add(Severity severity, const std::string& file, int line, std::string message) {
    problems_.push_back(SettingsProblem{severity, file, line, std::move(message)});
  }
  std::optional<std::string> read_checked(const std::string& file);
  std::string section_place(const std::string& file, const platform::IniEntry& entry,
                            unsigned* place);
  void check_key(const std::string& file, unsigned place, const platform::IniEntry& entry);
  // `settings_file`: its [Velloc] is read (a forms.d file's never is).
  void check_queue_needs_archive(const std::string& file,
                                 const std::vector<platform::IniEntry>& entries,
                                 bool settings_file);
  void check_section_key(const std::string& file, unsigned place, const platform::IniEntry& entry,
                         std::set<std::string>& keys_seen);
  void check_value(const std::string& file, const KeyDeclaration& key,
                   const platform::IniEntry& entry);
  void check_rule(const std::string& file, const platform::IniEntry& entry);
  void check_named_webhook(const std::string& file, const platform::IniEntry& entry);
  void check_files(const std::string& file, const KeyDeclaration& key,
                   const platform::IniEntry& entry);
  void check_template_file(const std::string& file, const KeyDeclaration& key,
                           const platform::IniEntry& entry);
  void check_data_source(const std::string& file, const platform::IniEntry& entry);
  void check_relay(const std::string& file, int line, const std::string& setting,
                   const std::string& shown);
  std::string from_working_directory(const std::string& path) const;

  std::string working_directory_;
  bool descend_;
  std::string current_template_;  // the settings-format template being read
  SiteValues site_;
  std::vector<SettingsProblem> problems_;
  std::set<std::string> templates_read_;
  std::optional<std::vector<std::string>> data_sources_;  // read on first use
  bool data_sources_read_ = false;
  CheckLookups::HostResolver relay_resolver_;  // empty: the relay is not looked up
  std::chrono::seconds relay_bound_{0};
  bool relay_checked_ = false;  // SMTP was met in [Velloc]
  bool dkim_keys_ = true;
};

std::optional<std::string> Checker::read_checked(const std::string& file) {
  std::optional<std::string> content = read_file(file);
  if (!content) {
    add(Severity::kError, file, 0, "cannot be read");
    return std::nullopt;
  }
  check_start(file, *content);
  return content;
}

void Checker::check_start(const std::string& file, std::string_view content) {
  if (content.starts_with(platform::kByteOrderMark))
    add(Severity::kWarning, file, 1,
        "byte-order mark at the start of the file (skipped when read; save the file without it)");
}

std::string Checker::from_working_directory(const std::string& path) const {
  std::string composed = path;
  for (char& c : composed)
    if (c == '\\') c = '/';
  if (composed.starts_with("/")) return composed;
  if (composed.starts_with("./")) composed.erase(0, 2);
  return working_directory_ + "/" + composed;
}

// The first pass reads the values of [Velloc] and [Webhooks] that the file checks need
// (of the first section of each name, the first key of each name).
SiteValues read_site_values(const std::vector<platform::IniEntry>& entries) {
  SiteValues values;
  std::set<std::string> seen, sections, webhook_keys;
  bool in_velloc = false, in_webhooks = false;
  for (const platform::IniEntry& entry : entries) {
    if (entry.kind == platform::IniEntry::Kind::kSection) {
      bool first = sections.insert(lower(entry.name)).second;
      in_velloc = first && platform::equal_ignoring_case(entry.name, kVelloc);
      in_webhooks = first && platform::equal_ignoring_case(entry.name, kNamedWebhooks);
      if ((in_velloc || in_webhooks) && !values.webhook_names) values.webhook_names.emplace();
    } else if (in_webhooks) {
      if (webhook_keys.insert(lower(entry.name)).second && !platform::trim(entry.value).empty())
        values.webhook_names->insert(lower(entry.name));
    } else if (in_velloc && platform::equal_ignoring_case(entry.name, "WebhookAllowPlain")) {
      if (seen.insert("WebhookAllowPlain").second)
        values.webhook_allow_plain = platform::trim(entry.value) == "1";
    } else if (in_velloc && platform::equal_ignoring_case(entry.name, "TEMPLATE_DIR")) {
      if (!seen.insert("TEMPLATE_DIR").second) continue;
      values.template_directory = entry.value.substr(0, platform::kMaxIniValue);
    } else if (in_velloc && platform::equal_ignoring_case(entry.name, "DefaultRecipient")) {
      if (seen.insert("DefaultRecipient").second)
        values.default_recipient = entry.value.substr(0, platform::kMaxIniValue);
    } else if (in_velloc && platform::equal_ignoring_case(entry.name, "AllowedRecipients")) {
      if (seen.insert("AllowedRecipients").second) values.allowed_recipients = entry.value;
    }
  }
  return values;
}

void Checker::check_settings_file(const std::string& file) {
  if (std::optional<std::string> content = read_checked(file))
    check_settings_content(file, *content);
}

void Checker::check_settings_content(const std::string& file, std::string_view content) {
  std::vector<platform::IniEntry> entries = platform::parse_ini_entries(content);
  site_ = read_site_values(entries);
  std::set<std::string> sections_seen, keys_seen;
  unsigned place = 0;
  for (const platform::IniEntry& entry : entries) {
    if (entry.kind == platform::IniEntry::Kind::kSection) {
      keys_seen.clear();
      std::string name = section_place(file, entry, &place);
      if (!sections_seen.insert(lower(name)).second) {
        bool velloc = platform::equal_ignoring_case(name, kVelloc);
        add(velloc ? Severity::kError : Severity::kWarning, file, entry.line,
            "[" + name + "]: a second section of this name; only the first is read");
        place = 0;
      }
      continue;
    }
    if (place == 0) {
      if (sections_seen.empty())
        add(Severity::kWarning, file, entry.line,
            entry.name + ": outside any section, so never read; put it below [Velloc]");
      continue;
    }
    check_section_key(file, place, entry, keys_seen);
  }
  if (sections_seen.count("velloc") == 0)
    add(Severity::kWarning, file, 0, "no [Velloc] section: every key has its default");
  check_queue_needs_archive(file, entries, true);
  if (std::string problem = dkim_settings_problem(dkim_settings_of(entries)); !problem.empty())
    add(Severity::kError, file, 0, problem + ": no mail is sent until they are");
  if (!relay_checked_) {
    std::string relay(settings::find_key("SMTP", settings::kVellocSection)->default_value);
    check_relay(file, 0, relay, "SMTP=" + relay + " (the default, as [Velloc] does not set SMTP)");
  }
}

// A file of forms.d beside the settings: [Form NAME] sections only, checked as the
// settings file's profiles are (after it, so that its [Velloc] values apply).
void Checker::check_form_file(const std::string& file) {
  std::optional<std::string> content = read_checked(file);
  if (!content) return;
  std::set<std::string> sections_seen, keys_seen;
  unsigned place = 0;
  bool in_section = false;
  std::vector<platform::IniEntry> entries = platform::parse_ini_entries(*content);
  check_queue_needs_archive(file, entries, false);
  for (const platform::IniEntry& entry : entries) {
    if (entry.kind == platform::IniEntry::Kind::kSection) {
      keys_seen.clear();
      in_section = true;
      std::string name = section_place(file, entry, &place);
      if (place == settings::kVellocSection || place == kNamedWebhooksPlace) {
        add(Severity::kWarning, file, entry.line,
            "[" + name + "]: never read in a forms.d file; it belongs in the settings file");
        place = 0;
      } else if (place != 0 && !sections_seen.insert(lower(name)).second) {
        add(Severity::kWarning, file, entry.line,
            "[" + name + "]: a second section of this name; only the first is read");
        place = 0;
      }
      continue;
    }
    if (place == 0) {
      if (!in_section)
        add(Severity::kWarning, file, entry.line,
            entry.name + ": outside any [Form NAME] section, so never read");
      continue;
    }
    check_section_key(file, place, entry, keys_seen);
  }
}

// Queue mode keeps its deliveries in the archive: [Velloc] or a profile that ends up with
// Delivery=queue but without Archive=1 is an error (its runs send at once instead); so is
// one with ConfirmField, whose held submissions wait there for their confirmation. The
// values of [Velloc] are kept for the profiles of the forms.d files checked after it.
void Checker::check_queue_needs_archive(const std::string& file,
                                        const std::vector<platform::IniEntry>& entries,
                                        bool settings_file) {
  std::vector<std::pair<std::string, QueueKeys>> sections;
  std::set<std::string> named;
  bool reading = false;
  for (const platform::IniEntry& entry : entries) {
    if (entry.kind == platform::IniEntry::Kind::kSection) {
      bool velloc = platform::equal_ignoring_case(entry.name, kVelloc);
      reading = ((velloc && settings_file) || is_profile(entry.name)) &&
                named.insert(lower(entry.name)).second;
      if (reading) sections.push_back({velloc ? std::string() : entry.name, {}});
      continue;
    }
    if (!reading) continue;
    QueueKeys& keys = sections.back().second;
    if (platform::equal_ignoring_case(entry.name, "Delivery") && !keys.queue) {
      keys.queue = platform::equal_ignoring_case(platform::trim(entry.value), "queue");
      keys.line = entry.line;
    } else if (platform::equal_ignoring_case(entry.name, "Archive") && !keys.archive) {
      keys.archive = platform::trim(entry.value) == "1";
      if (!keys.queue) keys.line = entry.line;
    } else if (platform::equal_ignoring_case(entry.name, "ConfirmField") && !keys.confirm) {
      keys.confirm = !platform::trim(entry.value).empty();
      keys.confirm_line = entry.line;
    }
  }
  for (const auto& [name, keys] : sections) {
    if (!name.empty()) continue;
    site_.delivery_queue = keys.queue.value_or(false);
    site_.archive = keys.archive.value_or(false);
    site_.confirm = keys.confirm.value_or(false);
  }
  for (const auto& [name, keys] : sections) {
    bool own = !name.empty() && (keys.confirm || keys.archive);
    if (!(name.empty() || own)) continue;
    if (!keys.confirm.value_or(site_.confirm) || keys.archive.value_or(site_.archive)) continue;
    std::string where = name.empty() ? "[Velloc]" : "[" + name + "]";
    add(Severity::kError, file, keys.confirm ? keys.confirm_line : keys.line,
        where + ": ConfirmField needs Archive=1 (the held submission is kept there)");
  }
  for (const auto& [name, keys] : sections) {
    bool own = !name.empty() && (keys.queue || keys.archive);
    if (!(name.empty() || own)) continue;
    if (!keys.queue.value_or(site_.delivery_queue) || keys.archive.value_or(site_.archive))
      continue;
    std::string where = name.empty() ? "[Velloc]" : "[" + name + "]";
    add(Severity::kError, file, keys.line,
        where + ": Delivery=queue needs Archive=1 (its mail is sent at once instead)");
  }
}

// A key of a section velloc reads: one set again is never read, else its value is checked.
void Checker::check_section_key(const std::string& file, unsigned place,
                                const platform::IniEntry& entry, std::set<std::string>& keys_seen) {
  if (!keys_seen.insert(lower(entry.name)).second) {
    add(Severity::kWarning, file, entry.line,
        entry.name + ": set a second time in this section; only the first is read");
    return;
  }
  if (place == kNamedWebhooksPlace) return check_named_webhook(file, entry);
  check_key(file, place, entry);
}

// The place of a section's keys (0 for a section velloc does not read).
std::string Checker::section_place(const std::string& file, const platform::IniEntry& entry,
                                   unsigned* place) {
  const std::string& name = entry.name;
  *place = 0;
  if (platform::equal_ignoring_case(name, kVelloc)) {
    *place = settings::kVellocSection;
  } else if (platform::equal_ignoring_case(name, kNamedWebhooks)) {
    *place = kNamedWebhooksPlace;
  } else if (is_profile(name)) {
    *place = settings::kFormProfile;
  } else {
    std::string message = "[" + name + "]: unknown section";
    if (platform::equal_ignoring_case(name.substr(0, 4), "form"))
      message += "; did you mean [Form NAME]?";
    else if (lower(name).find("velloc") != std::string::npos ||
             settings::name_distance(name, kVelloc) <= 2)
      message += "; did you mean [Velloc]?";
    add(Severity::kWarning, file, entry.line, message);
  }
  return name;
}

void Checker::check_key(const std::string& file, unsigned place, const platform::IniEntry& entry) {
  const KeyDeclaration* key = settings::find_key(entry.name, place);
  if (key) {
    check_value(file, *key, entry);
    return;
  }
  unsigned settings_places = settings::kVellocSection | settings::kFormProfile;
  if (const KeyDeclaration* elsewhere = settings::find_key(entry.name, settings_places)) {
    add(Severity::kError, file, entry.line,
        entry.name + (elsewhere->places == settings::kVellocSection
                          ? ": only [Velloc] may set this key, not a form profile"
                          : ": only a [Form NAME] profile may set this key, not [Velloc]"));
    return;
  }
  std::string message = entry.name + ": unknown key";
  std::string_view nearest = settings::nearest_key(entry.name, place);
  if (!nearest.empty()) message += "; did you mean " + std::string(nearest) + "?";
  add(Severity::kWarning, file, entry.line, message);
}

// A Route, RouteFallback, When or Validate key: its grammar, and the addresses it
// routes to against who may receive the form mail.
void Checker::check_rule(const std::string& file, const platform::IniEntry& entry) {
  std::string shown = entry.name + "=" + entry.value;
  if (entry.value.size() > platform::kMaxIniValue) {
    add(Severity::kError, file, entry.line,
        entry.name + ": longer than " + std::to_string(platform::kMaxIniValue) +
            " characters, so it would be cut; split it into more keys");
    return;
  }
  if (std::optional<std::string> reason = rules::rule_value_problem(entry.name, entry.value)) {
    add(Severity::kError, file, entry.line, shown + ": " + *reason);
    return;
  }
  rules::FormRules read = rules::read_form_rules({{entry.name, entry.value}});
  for (const rules::Rule& rule : read.rules)
    for (const rules::Action& action : rule.actions)
      if (!action.name.empty() && site_.webhook_names &&
          site_.webhook_names->count(lower(action.name)) == 0)
        add(Severity::kError, file, entry.line,
            shown + ": no webhook named " + action.name + " in [Webhooks]");
  std::vector<std::string> addresses = read.fallback;
  for (const rules::Rule& route : read.routes)
    addresses.insert(addresses.end(), route.recipients.begin(), route.recipients.end());
  if (addresses.empty()) return;
  if (!site_.allowed_recipients) {
    add(Severity::kWarning, file, entry.line,
        shown + ": no AllowedRecipients in [Velloc]; only the web server's domain is allowed");
    return;
  }
  RecipientRules allowed{site_.default_recipient, site_.allowed_recipients, ""};
  for (const std::string& address : addresses)
    if (!decide_recipients(address, allowed).allowed)
      add(Severity::kError, file, entry.line,
          shown + ": " + address + " is not allowed by AllowedRecipients");
}

// A key of [Webhooks]: a name a rule may call, and an address as the Webhook keys take.
void Checker::check_named_webhook(const std::string& file, const platform::IniEntry& entry) {
  std::string url(platform::trim(entry.value));
  std::string shown = "[Webhooks] " + entry.name + "=" + url;
  std::string reason;
  if (!rules::is_webhook_name(entry.name)) {
    add(Severity::kError, file, entry.line,
        shown + ": a webhook's name is letters, digits and \"_-.\"");
  } else if (url.empty()) {
    add(Severity::kError, file, entry.line, shown + ": no address");
  } else if (!settings::valid_value(*settings::find_key("Webhook"), url, &reason)) {
    add(Severity::kError, file, entry.line, shown + ": " + reason);
  } else if (WebhookTarget target = decide_webhook_target(url, site_.webhook_allow_plain);
             !target.allowed) {
    // Plain http elsewhere than this machine: a profile may still allow it.
    bool plain_only = decide_webhook_target(url, true).allowed;
    add(plain_only ? Severity::kWarning : Severity::kError, file, entry.line,
        shown + ": " + target.refusal);
  }
}

void Checker::check_value(const std::string& file, const KeyDeclaration& key,
                          const platform::IniEntry& entry) {
  if (rules::is_rule_key(entry.name)) return check_rule(file, entry);
  std::string reason;
  std::string shown = key.secret ? entry.name : entry.name + "=" + entry.value;
  if (!settings::valid_value(key, entry.value, &reason)) {
    add(Severity::kError, file, entry.line, shown + ": " + reason);
    return;
  }
  if (key.secret && key.minimum > 0 && !entry.value.empty() &&
      entry.value.size() < static_cast<std::size_t>(key.minimum))
    add(Severity::kWarning, file, entry.line,
        entry.name + ": a secret shorter than " + std::to_string(key.minimum) +
            " bytes (make one with: openssl rand -hex 32)");
  // The allow-lists, where "*" admits everyone (Referers names hosts, and an empty
  // one admits every page; a form's RECIPIENT is no allow-list).
  bool allow_list =
      (key.type == settings::ValueType::kAddresses || key.type == settings::ValueType::kOrigins ||
       key.type == settings::ValueType::kHosts) &&
      (key.places & settings::kVellocSection) != 0 && key.name != "Referers";
  if (allow_list) {
    for (const std::string& item : platform::split_at(entry.value, ", "))
      if (item == "*")
        add(Severity::kWarning, file, entry.line, shown + ": the list admits every address");
  }
  if (key.name == "SMTP") {
    std::string value = entry.value.substr(0, platform::kMaxIniValue);
    check_relay(file, entry.line, value, entry.name + "=" + value);
  }
  if (!entry.value.empty()) check_files(file, key, entry);
}

void Checker::check_files(const std::string& file, const KeyDeclaration& key,
                          const platform::IniEntry& entry) {
  std::string value = entry.value.substr(0, platform::kMaxIniValue);
  std::string shown = entry.name + "=" + value;
  switch (key.type) {
    case settings::ValueType::kTemplate:
      check_template_file(file, key, entry);
      return;
    case settings::ValueType::kPath: {
      if (key.places == settings::kTextFileTemplate) return;  // checked with its template
      if (key.name == "LOGFILE") return;                      // made when first written
      std::string path = from_working_directory(value);
      if (access(platform::native_path(path).c_str(), R_OK) != 0) {
        add(Severity::kError, file, entry.line, shown + ": no such file (" + path + ")");
      } else if (dkim_keys_ && (key.name == "DkimKeyFile" || key.name == "DkimKeyFileEd25519")) {
        std::string error;
        DkimKeyType type = key.name == "DkimKeyFile" ? DkimKeyType::kRsa : DkimKeyType::kEd25519;
        if (!read_dkim_key(platform::native_path(path), type, &error))
          add(Severity::kError, file, entry.line, shown + ": " + error);
      }
      return;
    }
    case settings::ValueType::kFolder: {
      std::string path = from_working_directory(value);
      std::string native = platform::native_path(path);
      if (access(native.c_str(), F_OK) != 0)
        add(Severity::kError, file, entry.line, shown + ": no such folder (" + path + ")");
      else if (key.name != "PGP_Path" && access(native.c_str(), W_OK | X_OK) != 0)
        add(Severity::kError, file, entry.line,
            shown + ": this user cannot write into the folder (" + path + ")");
      return;
    }
    default:
      return;
  }
}

void Checker::check_template_file(const std::string& file, const KeyDeclaration& key,
                                  const platform::IniEntry& entry) {
  std::string name = entry.value.substr(0, platform::kMaxIniValue);
  std::string path = from_working_directory(site_.template_directory + name);
  std::string shown = entry.name + "=" + name;
  if (name.find("..") != std::string::npos) {
    add(Severity::kError, file, entry.line, shown + ": a template name may not hold \"..\"");
    return;
  }
  if (access(platform::native_path(path).c_str(), R_OK) != 0) {
    add(Severity::kError, file, entry.line, shown + ": no such template (" + path + ")");
    return;
  }
  if (!descend_ || !templates_read_.insert(platform::native_path(path)).second) return;
  bool text_file = key.name == "TEMPLATE_TEXTFILE";
  if (!text_file && key.name != "TEMPLATE_DATABASE") return;
  std::optional<std::string> content = read_checked(path);
  if (!content) return;
  if (text_file)
    check_text_file_template(path, *content);
  else
    check_database_template(path, *content);
}

// The folder part of a path, "." for a bare name.
std::string containing_folder(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

void Checker::check_text_file_template(const std::string& path, std::string_view content) {
  bool in_templates = false;
  std::set<std::string> keys_seen;
  for (const platform::IniEntry& entry : platform::parse_ini_entries(content)) {
    if (entry.kind == platform::IniEntry::Kind::kSection) {
      in_templates = platform::equal_ignoring_case(entry.name, "TEMPLATES");
      if (!in_templates)
        add(Severity::kWarning, path, entry.line,
            "[" + entry.name + "]: unknown section; did you mean [TEMPLATES]?");
      continue;
    }
    if (!in_templates || !keys_seen.insert(lower(entry.name)).second) continue;
    const KeyDeclaration* key = settings::find_key(entry.name, settings::kTextFileTemplate);
    if (!key) {
      std::string message = entry.name + ": unknown key";
      std::string_view nearest = settings::nearest_key(entry.name, settings::kTextFileTemplate);
      if (!nearest.empty()) message += "; did you mean " + std::string(nearest) + "?";
      add(Severity::kWarning, path, entry.line, message);
      continue;
    }
    std::string reason;
    if (!settings::valid_value(*key, entry.value, &reason)) {
      add(Severity::kError, path, entry.line, entry.name + "=" + entry.value + ": " + reason);
      continue;
    }
    if (entry.value.empty() || key->name == "ESCAPE") continue;
    std::string value = entry.value.substr(0, platform::kMaxIniValue);
    std::string resolved = resolve_relative_path(value, path);
    if (value.find('\\') != std::string::npos && !value.starts_with("/"))
      resolved = from_working_directory(value);
    bool written = key->name == "DESTINATION" || key->name == "WORKFILE";
    std::string must_exist = written ? containing_folder(resolved) : resolved;
    std::string native = platform::native_path(must_exist);
    if (access(native.c_str(), F_OK) != 0) {
      add(Severity::kError, path, entry.line,
          entry.name + "=" + value + ": no such " +
              (key->type == settings::ValueType::kPath && !written ? "file" : "folder") + " (" +
              must_exist + ")");
    } else if ((written || key->name == "UPLOAD_FOLDER") &&
               access(native.c_str(), W_OK | X_OK) != 0) {
      add(Severity::kError, path, entry.line,
          entry.name + "=" + value + ": this user cannot write into the folder (" + must_exist +
              ")");
    }
  }
}

void Checker::check_database_template(const std::string& path, std::string_view content) {
  bool in_database = false;
  for (const platform::IniEntry& entry : platform::parse_ini_entries(content)) {
    if (entry.kind == platform::IniEntry::Kind::kSection) {
      in_database = platform::equal_ignoring_case(entry.name, "DATABASE");
      continue;
    }
    if (!in_database) continue;
    if (settings::find_key(entry.name, settings::kDatabaseTemplate)) {
      if (platform::equal_ignoring_case(entry.name, "DSN")) check_data_source(path, entry);
      continue;
    }
    std::string message = entry.name + ": unknown key";
    std::string_view nearest = settings::nearest_key(entry.name, settings::kDatabaseTemplate);
    if (!nearest.empty()) message += "; did you mean " + std::string(nearest) + "?";
    add(Severity::kWarning, path, entry.line, message);
  }
}

// A DSN that names a data source (not a "DRIVER=...;" connection string) must be
// one the driver manager knows; without a driver manager nothing is said.
void Checker::check_data_source(const std::string& file, const platform::IniEntry& entry) {
  std::string name = entry.value.substr(0, platform::kMaxIniValue);
  if (name.empty() || name.find('=') != std::string::npos) return;
  if (!data_sources_read_) {
    data_sources_ = odbc_data_source_names();
    data_sources_read_ = true;
  }
  if (!data_sources_) return;

  for (const std::string& known : *data_sources_)
    if (platform::equal_ignoring_case(known, name)) return;
  add(Severity::kWarning, file, entry.line,
      "DSN=" + name + ": no such ODBC data source (see odbc.ini, or ODBCINI)");
}

// The host of `setting` (SMTP's "host[:port]") must resolve as the mail step asks
// for it: an IPv4 address is taken as it is, a name is looked up for one.
void Checker::check_relay(const std::string& file, int line, const std::string& setting,
                          const std::string& shown) {
  relay_checked_ = true;
  if (!relay_resolver_) return;
  std::string host = parse_server_setting(setting, 25).host;
  in_addr address;
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return;
  platform::HostLookup found = relay_resolver_(host, relay_bound_);
  if (found.outcome == platform::HostLookup::Outcome::kTimedOut)
    add(Severity::kWarning, file, line,
        shown + ": the relay's name did not resolve within " +
            std::to_string(relay_bound_.count()) + " s");
  else if (found.outcome == platform::HostLookup::Outcome::kNotFound)
    add(Severity::kWarning, file, line,
        shown + ": the relay's name does not resolve (" + found.reason + ")");
}

const char* severity_word(Severity severity) {
  return severity == Severity::kError ? "error" : "warning";
}

}  // namespace

std::string json_text(std::string_view text) {
  std::string result = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      result += '\\';
      result += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      result += escaped;
    } else {
      result += c;
    }
  }
  return result + "\"";
}

const char kVisitorSenderWarning[] =
    "VisitorReplyTo=0: the form mail is sent from the visitor's address, which fails SPF and "
    "DMARC at every visitor's domain that publishes them; set VisitorReplyTo=1 to send from "
    "DEFAULTSENDER with the visitor in Reply-To";

std::vector<SettingsProblem> check_settings(const std::string& settings_file,
                                            const std::string& working_directory,
                                            const CheckLookups& lookups) {
  Checker checker(working_directory);
  if (!lookups.data_sources) checker.skip_data_sources();
  if (!lookups.dkim_keys) checker.skip_dkim_keys();
  if (lookups.relay_name) checker.look_up_relay(lookups.relay_name, lookups.relay_bound);
  checker.check_settings_file(settings_file);
  for (const std::string& file : settings::form_files_beside(settings_file))
    checker.check_form_file(file);
  std::vector<SettingsProblem> problems = checker.problems();
  if (lookups.sender_alignment && !settings::read_site_settings(settings_file).visitor_reply_to)
    problems.push_back({Severity::kWarning, settings_file, 0, kVisitorSenderWarning});
  return problems;
}

std::vector<SettingsProblem> check_settings_text(const std::string& file, std::string_view content,
                                                 const std::string& working_directory) {
  Checker checker(working_directory, false);
  checker.skip_dkim_keys();  // the signing run judges them and says why
  checker.check_start(file, content);
  std::vector<platform::IniEntry> entries = platform::parse_ini_entries(content);
  auto first_section = std::find_if(entries.begin(), entries.end(), [](const auto& entry) {
    return entry.kind == platform::IniEntry::Kind::kSection;
  });
  // A copy: the two branches meet as a temporary std::string.
  const std::string kind = first_section == entries.end() ? "" : first_section->name;
  if (platform::equal_ignoring_case(kind, "TEMPLATES")) {
    checker.check_text_file_template(file, content);
  } else if (platform::equal_ignoring_case(kind, "DATABASE")) {
    checker.check_database_template(file, content);
  } else {
    checker.check_settings_content(file, content);
  }
  return checker.problems();
}

std::optional<platform::IniFault> first_settings_error(
    const std::vector<SettingsProblem>& problems) {
  for (const SettingsProblem& problem : problems)
    if (problem.severity == Severity::kError)
      return platform::IniFault{static_cast<std::size_t>(problem.line), problem.message};
  return std::nullopt;
}

int report_problems(const std::vector<SettingsProblem>& problems, bool json, bool strict,
                    std::ostream& out) {
  int errors = 0;
  for (const SettingsProblem& problem : problems)
    if (problem.severity == Severity::kError) ++errors;
  int warnings = static_cast<int>(problems.size()) - errors;
  int status = errors > 0 || (strict && warnings > 0) ? 1 : 0;
  if (json) {
    out << "{\"errors\": " << errors << ", \"warnings\": " << warnings << ", \"status\": " << status
        << ", \"problems\": [";
    for (std::size_t i = 0; i < problems.size(); ++i) {
      const SettingsProblem& p = problems[i];
      out << (i == 0 ? "\n  " : ",\n  ") << "{\"file\": " << json_text(p.file)
          << ", \"line\": " << p.line << ", \"severity\": \"" << severity_word(p.severity)
          << "\", \"message\": " << json_text(p.message) << "}";
    }
    out << (problems.empty() ? "]}\n" : "\n]}\n");
    return status;
  }
  for (const SettingsProblem& p : problems)
    out << p.file << ':' << p.line << ": " << severity_word(p.severity) << ": " << p.message
        << '\n';
  out << errors << (errors == 1 ? " error, " : " errors, ") << warnings
      << (warnings == 1 ? " warning\n" : " warnings\n");
  return status;
}

bool is_check_command_line(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments)
    if (argument == "--check") return true;
  return false;
}

std::optional<CheckOptions> parse_check_options(const std::vector<std::string>& arguments,
                                                std::string* error) {
  CheckOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--check") continue;
    if (argument == "--json") {
      options.json = true;
    } else if (argument == "--strict") {
      options.strict = true;
    } else if (argument == "--settings" && i + 1 < arguments.size() && !arguments[i + 1].empty()) {
      options.settings_file = arguments[++i];
    } else if (argument.starts_with("--settings=") && argument.size() > 11) {
      options.settings_file = argument.substr(11);
    } else {
      *error = argument == "--settings" ? "--settings needs a path"
                                        : "--check does not take " + argument;
      return std::nullopt;
    }
  }
  return options;
}

std::string check_usage() {
  return "The settings:\n"
         "  --check                 check the settings file, its form profiles and the\n"
         "                          templates they name; one FILE:LINE line per problem;\n"
         "                          exit status 1 when one is an error\n"
         "    --settings PATH       the settings file (else found as a web run finds it)\n"
         "    --json                as a JSON document\n"
         "    --strict              warnings count as errors\n";
}
