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

// Mail content or its log without the Date and Message-ID lines, which differ from
// mail to mail.
inline std::string without_date_and_id(const std::string& text) {
  static const std::regex identity(R"((Date: [^\r\n]*|Message-ID: <[0-9a-f]{32}@[^>]*>)\r?\n)");
  return std::regex_replace(text, identity, "");
}

}  // namespace testing_support
