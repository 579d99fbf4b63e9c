#include "velloc/request/upload_check.h"

#include "platform/ini_file.h"
#include "velloc/guard/upload_policy.h"
#include "velloc/request/diagnostics.h"
#include "velloc/request/html_escape.h"
#include "velloc/run.h"

namespace {

constexpr char kSection[] = "Velloc";
constexpr char kNotAccepted[] = "File Not Accepted: ";

}  // namespace

std::string upload_setting(const Run& run, std::string_view key) {
  const std::string& settings_file = run.settings.settings_file;
  if (settings_file.empty()) return {};
  return platform::read_ini_string(settings_file, kSection, key, "");
}

void check_uploads(Run& run) {
  if (run.request.uploads.empty()) return;
  UploadLimits limits =
      parse_upload_limits(upload_setting(run, "MaxUploadSize"), upload_setting(run, "MaxUploads"),
                          upload_setting(run, "UploadTypes"));
  std::size_t position = 0;
  for (const Upload& upload : run.request.uploads) {
    UploadVerdict verdict =
        judge_upload(limits, ++position, upload.shown_name, upload.size, upload.head);
    if (verdict == UploadVerdict::kAccepted) continue;
    std::string log_message =
        kNotAccepted + upload.shown_name + " (" + verdict_reason(verdict) + ")\n";
    fail_request(run, kNotAccepted + html_escape(upload.shown_name), log_message);
  }
}
