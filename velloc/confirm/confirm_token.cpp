#include "velloc/confirm/confirm_token.h"

#include <charconv>

#include "velloc/inbox/inbox_access.h"

namespace {

// The signer's "user" slot: no inbox user's token ever signs a confirmation's scope.
constexpr std::string_view kSigner = "confirm";
constexpr std::size_t kDigestLength = 64;

std::string signed_part(std::string_view secret, std::string_view submission_id,
                        std::int64_t expires_at) {
  std::string scope = action_scope("submission", submission_id, "confirm");
  return inbox_token(secret, kSigner, scope + "/" + std::to_string(expires_at));
}

bool same_in_constant_time(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace

std::string confirm_token(std::string_view secret, std::string_view submission_id,
                          std::int64_t expires_at) {
  return std::to_string(expires_at) + "-" + signed_part(secret, submission_id, expires_at);
}

ConfirmCheck check_confirm_token(std::string_view secret, std::string_view submission_id,
                                 std::string_view token, std::int64_t now) {
  std::size_t dash = token.find('-');
  if (secret.empty() || dash == std::string_view::npos || dash == 0) return ConfirmCheck::kForged;
  std::int64_t expires_at = 0;
  auto [end, failure] = std::from_chars(token.data(), token.data() + dash, expires_at);
  std::string_view digest = token.substr(dash + 1);
  if (failure != std::errc() || end != token.data() + dash || digest.size() != kDigestLength ||
      !same_in_constant_time(digest, signed_part(secret, submission_id, expires_at)))
    return ConfirmCheck::kForged;
  return now < expires_at ? ConfirmCheck::kValid : ConfirmCheck::kExpired;
}
