// Feeds arbitrary bytes to the settings reader and writer as the content of a
// settings file: lookups must stay within 259 characters and a write must keep
// the key readable afterwards; the check (velloc --check) must get through any file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>

#include "platform/ini_file.h"
#include "velloc/check/settings_check.h"

namespace {

const std::string& scratch_file() {
  static const std::string path = "/tmp/velloc-settings-fuzz-" + std::to_string(getpid()) + ".ini";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& file = scratch_file();
  if (FILE* out = std::fopen(file.c_str(), "wb")) {
    std::fwrite(data, 1, size, out);
    std::fclose(out);
  }
  std::ostringstream report;
  report_problems(check_settings(file, "/tmp", {.relay_name = nullptr}), false, false, report);
  for (const char* key : {"PGP_Path", "TEMPLATE_DIR", "LOG_LEVEL", "ReceiptNumber"}) {
    std::string value = platform::read_ini_string(file, "Velloc", key, "default");
    if (value.size() > platform::kMaxIniValue) __builtin_trap();
    platform::parse_leading_int(value);
  }
  std::optional<int> counter = platform::advance_ini_counter(file, "Velloc", "ReceiptNumber", "1");
  if (counter && *counter < 2147483647) {
    std::string stored = platform::read_ini_string(file, "Velloc", "ReceiptNumber", "");
    if (platform::parse_leading_int(stored) != *counter + 1) __builtin_trap();
  }
  std::remove(file.c_str());
  return 0;
}
