#include "velloc/mail/mail_temp_file.h"

#include <optional>

#include "platform/path_map.h"
#include "platform/regular_file.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/mail/mail_message.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"

namespace {
constexpr char kMailTempPrefix[] = "VLM";
}  // namespace

bool temp_directory_allowed(const MailMessage& message) {
  if (message.follow_links || message.temp_dir.empty()) return true;
  if (!platform::is_folder_link(platform::native_path(message.temp_dir))) return true;
  log_event(message, 1, "Temporary folder '%s' is a link; set FollowLinks=1 to allow it.\n",
            message.temp_dir.c_str());
  return false;
}

platform::TempFile make_mail_temp_file(const MailMessage& message) {
  std::optional<platform::TempFile> file;
  if (temp_directory_allowed(message))
    file = platform::TempFile::create(message.temp_dir, kMailTempPrefix, message.temp_files);
  if (!file) fail_request(message, text::kNoTempFile);
  log_event(message, 15, "VELLOC - Temporary File '%s'\n", file->path().c_str());
  return std::move(*file);
}

std::optional<platform::TempFile> make_message_temp_file(const MailMessage& message) {
  std::string directory = message.temp_dir.empty() ? message.system_temp_dir : message.temp_dir;
  std::optional<platform::TempFile> file;
  if (temp_directory_allowed(message))
    file = platform::TempFile::create(directory, kMailTempPrefix, message.temp_files);
  if (!file) log_event(message, 1, "Could not Create Temporary File in '%s'.\n", directory.c_str());
  return file;
}
