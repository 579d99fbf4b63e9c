// Test support: the messages of an event log file without their "[date|time|pid] "
// prefixes, so tests can compare the exact texts that were logged.
#pragma once

#include <regex>
#include <string>

#include "tests/support/cgi_runner.h"

namespace testing_support {

inline std::string logged_messages(const std::string& log_path) {
  static const std::regex prefix(R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|\d{5,}\] )");
  return std::regex_replace(read_file(log_path), prefix, "");
}

}  // namespace testing_support
