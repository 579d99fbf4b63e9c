#include "velloc/webhook/webhook_signature.h"

#include <gtest/gtest.h>

#include <string>

#include "velloc/mail/openssl_library.h"

namespace {

const OpenSslApi& tls() {
  std::string error;
  const OpenSslApi* api = openssl_api(&error);
  if (!api) ADD_FAILURE() << error;
  return *api;
}

// RFC 4231 test cases 1, 2 and 6, and the empty key and text.
TEST(WebhookSignature, HmacSha256KnownVectors) {
  struct Case {
    std::string key;
    std::string data;
    std::string hex;
  };
  const Case cases[] = {
      {std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"", "", "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.hex, hmac_sha256_hex(tls(), c.key, c.data)) << c.data;
}

// The value that Python's hmac.new(b"whsec_test", b'1700000000.{"a": "b"}',
// hashlib.sha256) gives, as the README's receiver computes it.
TEST(WebhookSignature, HeadersSignTimestampDotBody) {
  auto headers = signature_headers(tls(), "whsec_test", 1700000000, "{\"a\": \"b\"}");
  ASSERT_EQ(2u, headers.size());
  EXPECT_EQ("X-Velloc-Timestamp", headers[0].first);
  EXPECT_EQ("1700000000", headers[0].second);
  EXPECT_EQ("X-Velloc-Signature", headers[1].first);
  EXPECT_EQ("sha256=9bd45c0b053bd35aa3a6eed5429f7a9248e636da49dd9acd059a160d560dc720",
            headers[1].second);
}

}  // namespace
