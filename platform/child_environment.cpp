#include "platform/child_environment.h"

#include <algorithm>
#include <array>

namespace platform {

namespace {

constexpr std::array<std::string_view, 6> kHelperVariables = {"PATH", "HOME",     "GNUPGHOME",
                                                              "LANG", "LANGUAGE", "TZ"};
constexpr std::string_view kLocalePrefix = "LC_";

}  // namespace

bool is_helper_variable(std::string_view name) {
  if (name.starts_with(kLocalePrefix) && name.size() > kLocalePrefix.size()) return true;
  return std::find(kHelperVariables.begin(), kHelperVariables.end(), name) !=
         kHelperVariables.end();
}

std::vector<std::string> helper_environment(const char* const* environment) {
  std::vector<std::string> kept;
  for (; environment != nullptr && *environment != nullptr; ++environment) {
    std::string_view entry = *environment;
    std::size_t equals = entry.find('=');
    if (equals != std::string_view::npos && is_helper_variable(entry.substr(0, equals)))
      kept.emplace_back(entry);
  }
  return kept;
}

}  // namespace platform
