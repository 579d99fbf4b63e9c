#include "velloc/inbox/inbox_access.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

#include "platform/text.h"
#include "velloc/archive/sha256.h"

namespace {

constexpr char kInboxPath[] = "/inbox";
constexpr std::size_t kBlockSize = 64;
constexpr unsigned char kInnerPad = 0x36;
constexpr unsigned char kOuterPad = 0x5c;
constexpr std::size_t kSecretBytes = 32;
constexpr char kHexDigits[] = "0123456789abcdef";

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

std::string digest_bytes(std::string_view data_a, std::string_view data_b) {
  Sha256 hash;
  hash.update(data_a);
  hash.update(data_b);
  std::string hex = hash.hex_digest();
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(hex_value(hex[i]) * 16 + hex_value(hex[i + 1]));
  return bytes;
}

std::string hmac_sha256_hex(std::string_view key, std::string_view data) {
  std::string block = key.size() > kBlockSize ? digest_bytes(key, "") : std::string(key);
  block.resize(kBlockSize, '\0');
  std::string inner = block, outer = block;
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    inner[i] = static_cast<char>(inner[i] ^ kInnerPad);
    outer[i] = static_cast<char>(outer[i] ^ kOuterPad);
  }
  Sha256 hash;
  hash.update(outer);
  hash.update(digest_bytes(inner, data));
  return hash.hex_digest();
}

// Compares every byte whatever the first difference, so that the time taken
// tells nothing of how much of a token was right.
bool same_in_constant_time(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// "scheme://authority" of an absolute address; empty when it has none.
std::string_view origin_of(std::string_view address) {
  std::size_t scheme_end = address.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return {};
  std::size_t end = address.find_first_of("/?#", scheme_end + 3);
  return address.substr(0, end);
}

}  // namespace

bool is_inbox_path(std::string_view path_info) {
  if (!path_info.starts_with(kInboxPath)) return false;
  return path_info.size() == sizeof kInboxPath - 1 || path_info[sizeof kInboxPath - 1] == '/';
}

InboxAccess decide_inbox_access(std::string_view users, std::string_view remote_user) {
  if (remote_user.empty()) return InboxAccess::kNoUser;
  for (const std::string& name : platform::split_at(users, ", \t")) {
    if (name == "*" || name == remote_user) return InboxAccess::kAllowed;
  }
  return InboxAccess::kNotListed;
}

std::string action_scope(std::string_view kind, std::string_view id, std::string_view action) {
  return std::string(kind) + "/" + platform::percent_encode(id) + "/" + std::string(action);
}

std::string inbox_token(std::string_view secret, std::string_view user, std::string_view scope) {
  // The name's length first: no other user and scope give the same text.
  std::string data = std::to_string(user.size()) + ":" + std::string(user) + std::string(scope);
  return hmac_sha256_hex(secret, data);
}

ActionCheck check_action(std::string_view secret, const ActionRequest& request) {
  if (secret.empty()) return ActionCheck::kNoSecret;
  std::string expected = inbox_token(secret, request.user, request.scope);
  if (!same_in_constant_time(expected, request.token)) return ActionCheck::kBadToken;
  std::string_view origin = request.origin.empty() ? origin_of(request.referer) : request.origin;
  if (origin.empty() || !platform::equal_ignoring_case(origin, request.own_origin))
    return ActionCheck::kForeignOrigin;
  return ActionCheck::kAllowed;
}

std::string own_origin(std::string_view https, std::string_view request_scheme,
                       std::string_view host) {
  bool secure = (!https.empty() && !platform::equal_ignoring_case(https, "off")) ||
                platform::equal_ignoring_case(request_scheme, "https");
  return std::string(secure ? "https://" : "http://") + std::string(host);
}

std::string new_inbox_secret() {
  unsigned char bytes[kSecretBytes];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t count = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return {};
    filled += static_cast<std::size_t>(count);
  }
  std::string hex;
  for (unsigned char byte : bytes) hex.append({kHexDigits[byte >> 4], kHexDigits[byte & 0xF]});
  return hex;
}
