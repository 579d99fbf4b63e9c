#include "tests/support/log_text.h"

#include <regex>

#include "tests/support/cgi_runner.h"

namespace testing_support {

std::string logged_messages(const std::string& log_path) {
  static const std::regex prefix(R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|\d{5,}\] )");
  return std::regex_replace(read_file(log_path), prefix, "");
}

}  // namespace testing_support
