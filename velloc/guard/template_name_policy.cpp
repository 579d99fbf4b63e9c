#include "velloc/guard/template_name_policy.h"

#include "platform/text.h"

namespace {

constexpr std::string_view kSettingsFileExtension = ".ini";

}  // namespace

bool form_template_name_allowed(std::string_view name) {
  name = name.substr(0, name.find('\0'));
  if (name.size() < kSettingsFileExtension.size()) return true;
  return !platform::equal_ignoring_case(name.substr(name.size() - kSettingsFileExtension.size()),
                                        kSettingsFileExtension);
}
