// The token of a confirmed sign-up's link: bound to one archived submission and to the
// moment the link expires, signed with the site's confirmation secret (HMAC-SHA256), so
// that neither the submission nor the time can be changed without the secret. That the
// link is used once is the archive's to ensure (the held submission is claimed once).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "<expires_at>-<64 hex digits>": `expires_at` in seconds since the epoch.
std::string confirm_token(std::string_view secret, std::string_view submission_id,
                          std::int64_t expires_at);

enum class ConfirmCheck {
  kValid,
  kExpired,  // signed for this submission, but `now` is at or past its time
  kForged,   // not a token of this submission (or no secret to check it with)
};

// Whether `token`, from a link for `submission_id`, may confirm it at `now` (seconds).
ConfirmCheck check_confirm_token(std::string_view secret, std::string_view submission_id,
                                 std::string_view token, std::int64_t now);
