#include "velloc/guard/form_profile.h"

#include <array>

#include "platform/ini_file.h"
#include "platform/text.h"
#include "velloc/request/diagnostics.h"
#include "velloc/request/event_log.h"
#include "velloc/request/page_head.h"
#include "velloc/run.h"

namespace {

constexpr char kSection[] = "Velloc";
constexpr char kProfileField[] = "FORM_PROFILE";
constexpr char kVisitorControls[] = "VisitorControls";
constexpr char kUnknownForm[] = "Unknown Form!";

constexpr std::array<std::string_view, 27> kProfileControlFields = {
    "TEMPLATE_WEB",      "REDIRECT",        "LINKBACK",         "LINKBACKTEXT",
    "REQUIRED",          "REDIR_MISSING",   "TEMPLATE_MISSING", "TEMPLATE_DATABASE",
    "TEMPLATE_TEXTFILE", "TEMPLATE_MAIL",   "RECIPIENT",        "SUBJECT",
    "DEFAULTEMAIL",      "DISABLE_MAIL",    "PGP_TARGET",       "DO_RECEIPT",
    "RECEIPT_FROM",      "RECEIPT_SUBJECT", "TEMPLATE_RECEIPT", "RECEIPT_NUMBER",
    "SORTORDER",         "BGCOLOR",         "TEXTCOLOR",        "BGIMAGE",
    "FULLHEAD",          "DEBUG_VARIABLES", kProfileField};

bool listed(const std::vector<std::string>& names, std::string_view name) {
  for (const std::string& entry : names)
    if (platform::equal_ignoring_case(entry, name)) return true;
  return false;
}

std::vector<std::string> visitor_controls(const ProfileEntries& profile) {
  for (const auto& [key, value] : profile)
    if (platform::equal_ignoring_case(key, kVisitorControls)) return split_name_list(value);
  return {};
}

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

bool is_profile_control_field(std::string_view name) {
  std::string upper = to_upper_ascii(name);
  for (std::string_view control : kProfileControlFields)
    if (upper == control) return true;
  return false;
}

ProfileOutcome decide_profile(std::string_view requested, bool found, bool profiles_only) {
  if (requested.empty())
    return profiles_only ? ProfileOutcome::kUnknown : ProfileOutcome::kNoProfile;
  return found ? ProfileOutcome::kApply : ProfileOutcome::kUnknown;
}

void remove_fields(FieldMap& fields, const std::function<bool(const std::string& name)>& drop) {
  std::vector<std::pair<std::string, std::string>> kept;
  fields.for_each([&](const std::string& name, const std::string& value) {
    if (!drop(name)) kept.emplace_back(name, value);
  });
  // Within a bucket the newest name is listed first, so adding the kept fields
  // in reverse listing order restores the listing.
  FieldMap rebuilt;
  rebuilt.reserve(kept.size());
  for (auto entry = kept.rbegin(); entry != kept.rend(); ++entry)
    rebuilt.set(entry->first, std::move(entry->second));
  fields = std::move(rebuilt);
}

void apply_profile_fields(FieldMap& fields, const ProfileEntries& profile) {
  std::vector<std::string> allowed = visitor_controls(profile);
  remove_fields(fields, [&](const std::string& name) {
    return is_profile_control_field(name) && !listed(allowed, name);
  });
  for (const auto& [key, value] : profile) {
    if (!is_profile_control_field(key) || platform::equal_ignoring_case(key, kProfileField))
      continue;
    if (listed(allowed, key) && fields.find(key) != nullptr) continue;
    fields.set(key, value);
  }
}

void apply_form_profile(Run& run) {
  std::string requested(platform::trim(run.request.get_field(kProfileField)));
  ProfileEntries profile;
  if (!requested.empty() && !run.settings.settings_file.empty())
    profile =
        run.site.settings_files().read_section(run.settings.settings_file, "Form " + requested);
  switch (decide_profile(requested, !profile.empty(), profiles_only(run))) {
    case ProfileOutcome::kNoProfile:
      return;
    case ProfileOutcome::kUnknown:
      log_event(run.message, 1, "Unknown form profile: %s\n", printable(requested).c_str());
      fail_request(run, kUnknownForm);
    case ProfileOutcome::kApply:
      apply_profile_fields(run.request.fields, profile);
      run.settings.form_profile = std::move(profile);
      return;
  }
}

std::optional<std::string> profile_or_setting(const Run& run, std::string_view key) {
  for (const auto& [name, value] : run.settings.form_profile)
    if (platform::equal_ignoring_case(name, key)) return value;
  if (run.settings.settings_file.empty()) return std::nullopt;
  return run.site.settings_files().find_value(run.settings.settings_file, kSection, key);
}
