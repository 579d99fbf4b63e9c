#include "velloc/guard/upload_check.h"

#include "velloc/guard/upload_policy.h"
#include "velloc/language/visitor_texts.h"
#include "velloc/refusal.h"
#include "velloc/request/html_escape.h"
#include "velloc/run.h"

namespace {

constexpr const char* kNotAccepted = text::kFileNotAccepted;

// A file over its size limit is told apart from one of a type not accepted; too
// many files make the request too large.
Reason refusal_reason(UploadVerdict verdict) {
  switch (verdict) {
    case UploadVerdict::kTooLarge:
      return Reason::kUploadSize;
    case UploadVerdict::kTooMany:
      return Reason::kTooLarge;
    default:
      return Reason::kUploadType;
  }
}

}  // namespace

void check_uploads(Run& run) {
  if (run.request.uploads.empty()) return;
  const UploadLimits& limits = run.settings.upload_limits;
  std::size_t position = 0;
  for (const Upload& upload : run.request.uploads) {
    UploadVerdict verdict =
        judge_upload(limits, ++position, upload.shown_name, upload.size, upload.head);
    if (verdict == UploadVerdict::kAccepted) continue;
    std::string log_message =
        kNotAccepted + upload.shown_name + " (" + verdict_reason(verdict) + ")\n";
    fail_request(run.message, kNotAccepted + html_escape(upload.shown_name), log_message,
                 refusal_reason(verdict));
  }
}
