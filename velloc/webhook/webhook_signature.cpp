#include "velloc/webhook/webhook_signature.h"

#include "velloc/mail/openssl_library.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kNoBytes[1] = {0};

// Empty text may come with a null pointer, which OpenSSL reads as "none given".
const unsigned char* bytes_of(std::string_view text) {
  return text.empty() ? kNoBytes : reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

std::string hmac_sha256_hex(const OpenSslApi& tls, std::string_view key, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!tls.HMAC(tls.EVP_sha256(), bytes_of(key), static_cast<int>(key.size()), bytes_of(data),
                data.size(), digest, &length))
    return {};
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHexDigits[digest[i] >> 4];
    hex += kHexDigits[digest[i] & 0xF];
  }
  return hex;
}

std::vector<std::pair<std::string, std::string>> signature_headers(const OpenSslApi& tls,
                                                                   std::string_view secret,
                                                                   std::int64_t timestamp,
                                                                   std::string_view body) {
  std::string stamp = std::to_string(timestamp);
  std::string hex = hmac_sha256_hex(tls, secret, stamp + "." + std::string(body));
  if (hex.empty()) return {};
  return {{kTimestampHeader, stamp}, {kSignatureHeader, "sha256=" + hex}};
}
