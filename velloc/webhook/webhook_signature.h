// The signature of a webhook call, by which its receiver knows that the call came
// from this site and was not changed or replayed later: the Unix time of the call
// and an HMAC-SHA256, keyed with WebhookSecret, over "<timestamp>.<body>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct OpenSslApi;

inline constexpr char kTimestampHeader[] = "X-Velloc-Timestamp";
inline constexpr char kSignatureHeader[] = "X-Velloc-Signature";

// The HMAC-SHA256 of `data` keyed with `key`, as 64 lower-case hex digits; empty
// when OpenSSL fails.
std::string hmac_sha256_hex(const OpenSslApi& tls, std::string_view key, std::string_view data);

// The two header lines of a call made at `timestamp` (Unix seconds):
// {X-Velloc-Timestamp, "<timestamp>"} and {X-Velloc-Signature, "sha256=<hex>"}.
// Empty when OpenSSL fails.
std::vector<std::pair<std::string, std::string>> signature_headers(const OpenSslApi& tls,
                                                                   std::string_view secret,
                                                                   std::int64_t timestamp,
                                                                   std::string_view body);
