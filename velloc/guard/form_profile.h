// Form profiles: a "[Form NAME]" section of the settings file holds the control
// fields of one form, and a request names it with FORM_PROFILE. The profile's
// values replace every control field the visitor sent, except those that its
// VisitorControls key lists. The decision and the rewrite are pure; loading the
// settings reads the section and acts on them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velloc/request/cgi_request.h"

using ProfileEntries = std::vector<std::pair<std::string, std::string>>;

// The fields of the control-field table, FORM_PROFILE included and EMAIL left
// out (the visitor's address always comes from the visitor).
bool is_profile_control_field(std::string_view name);
// How many names is_profile_control_field knows.
inline constexpr std::size_t kProfileControlFieldCount = 27;

enum class ProfileOutcome { kNoProfile, kApply, kUnknown };

// `requested` is the trimmed FORM_PROFILE value; `found` tells whether its
// section holds any key.
ProfileOutcome decide_profile(std::string_view requested, bool found, bool profiles_only);

// Drops every control field not listed in the profile's VisitorControls, then
// stores the profile's control-field values; a listed field that the visitor
// sent keeps the visitor's value. Other fields and their order stay.
void apply_profile_fields(FieldMap& fields, const ProfileEntries& profile);

// Whether `name` is one of the profile's control-field entries: they steer the
// run and are no part of what the visitor sent. RECEIPT_NUMBER is not, whose
// value is the number the run gave.
bool is_profile_entry(const ProfileEntries& profile, std::string_view name);

// Removes the fields for which `drop` is true, keeping the order of the rest.
void remove_fields(FieldMap& fields, const std::function<bool(const std::string& name)>& drop);
