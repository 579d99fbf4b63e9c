#include "velloc/guard/form_profile.h"

#include <array>

#include "platform/text.h"
#include "velloc/request/page_head.h"

namespace {

constexpr char kProfileField[] = "FORM_PROFILE";
constexpr char kVisitorControls[] = "VisitorControls";

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
