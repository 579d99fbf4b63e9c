// One line of `velloc doctor`'s report: which check, how it came out, and why, in
// words that say what to change.
#pragma once

#include <string>

struct DoctorVerdict {
  enum class Status { kPass, kWarn, kFail };
  std::string check;  // relay, starttls, auth, spf, dkim, dmarc, ptr, send, sender
  Status status = Status::kPass;
  std::string reason;
};
