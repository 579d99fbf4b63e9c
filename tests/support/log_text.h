// Test support: the messages of an event log file without their "[date|time|pid] "
// prefixes, so tests can compare the exact texts that were logged.
#pragma once

#include <string>

namespace testing_support {

// The file's content with every line prefix removed; messages that carry no line
// end run on into the next one, as in the file.
std::string logged_messages(const std::string& log_path);

}  // namespace testing_support
