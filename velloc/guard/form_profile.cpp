#include "velloc/guard/form_profile.h"

#include <array>

#include "platform/text.h"
#include "velloc/request/page_head.h"

namespace {

constexpr char kProfileField[] = "FORM_PROFILE";
constexpr char kVisitorControls[] = "VisitorControls";
constexpr char kReceiptNumber[] = "RECEIPT_NUMBER";

constexpr std::array<std::string_view, kProfileControlFieldCount> kProfileControlFields = {
    "TEMPLATE_WEB",      "REDIRECT",        "LINKBACK",         "LINKBACKTEXT",
    "REQUIRED",          "REDIR_MISSING",   "TEMPLATE_MISSING", "TEMPLATE_DATABASE",
    "TEMPLATE_TEXTFILE", "TEMPLATE_MAIL",   "RECIPIENT",        "SUBJECT",
    "DEFAULTEMAIL",      "DISABLE_MAIL",    "PGP_TARGET",       "DO_RECEIPT",
    "RECEIPT_FROM",      "RECEIPT_SUBJECT", "TEMPLATE_RECEIPT", kReceiptNumber,
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

bool is_profile_entry(const ProfileEntries& profile, std::string_view name) {
  if (!is_profile_control_field(name) || platform::equal_ignoring_case(name, kReceiptNumber))
    return false;
  for (const auto& entry : profile)
    if (platform::equal_ignoring_case(entry.first, name)) return true;
  return false;
}

ProfileOutcome decide_profile(std::string_view requested, bool found, bool profiles_only) {
  if (requested.empty())
    return profiles_only ? ProfileOutcome::kUnknown : ProfileOutcome::kNoProfile;
  return found ? ProfileOutcome::kApply : ProfileOutcome::kUnknown;
}

void remove_fields(FieldMap& fields, const std::function<bool(const std::string& name)>& drop) {
  // Added again in the order first added, the rest keep both that order and
  // their listing order.
  FieldMap kept;
  kept.reserve(fields.size());
  fields.for_each_added([&](const std::string& name, const std::string& value) {
    if (!drop(name)) kept.set(name, value);
  });
  fields = std::move(kept);
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
