#include "velloc/request/upload_check.h"

#include "velloc/guard/form_profile.h"
#include "velloc/guard/upload_policy.h"
#include "velloc/request/html_escape.h"
#include "velloc/request/refusal.h"
#include "velloc/run.h"

namespace {

constexpr char kNotAccepted[] = "File Not Accepted: ";

}  // namespace

std::string upload_setting(const Run& run, std::string_view key) {
  return profile_or_setting(run, key).value_or("");
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
    fail_request(run.message, kNotAccepted + html_escape(upload.shown_name), log_message);
  }
}
