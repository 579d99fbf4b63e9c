#include "velloc/mail/mail_temp_file.h"

#include <optional>

#include "platform/temp_file.h"
#include "velloc/request/event_log.h"
#include "velloc/request/refusal.h"
#include "velloc/run.h"

namespace {
constexpr char kMailTempPrefix[] = "VLM";
}  // namespace

std::string make_mail_temp_file(Run& run) {
  std::optional<std::string> path = platform::make_temp_file(run.message.temp_dir, kMailTempPrefix);
  if (!path) fail_request(run.message, "Could not Create Temporary File!");
  log_event(run.message, 15, "VELLOC - Temporary File '%s'\n", path->c_str());
  return *path;
}
