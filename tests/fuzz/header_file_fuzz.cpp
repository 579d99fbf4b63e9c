// Feeds arbitrary bytes to the header-file readers: the line parsers, the pairs of
// a whole file, the sender and the recipient rules must never crash or overrun.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "velloc/mail/header_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  parse_lookup_line(text);
  sender_from_header_value(text);
  recipients_from_header_value(text);
  if (auto pair = parse_header_pair(text); pair && pair->name.empty()) __builtin_trap();

  std::istringstream file(text);
  std::string name, value;
  int pairs = 0;
  while (next_header_pair(file, name, value)) {
    if (name.empty() || ++pairs > static_cast<int>(size)) __builtin_trap();
  }
  return 0;
}
