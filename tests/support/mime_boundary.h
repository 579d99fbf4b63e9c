// Test support: message content with its random MIME boundary written as "divider",
// so tests can compare a message's exact bytes.
#pragma once

#include <regex>
#include <string>

namespace testing_support {

inline std::string with_fixed_boundary(const std::string& content) {
  static const std::regex boundary("velloc-[0-9a-f]{32}");
  return std::regex_replace(content, boundary, "divider");
}

}  // namespace testing_support
