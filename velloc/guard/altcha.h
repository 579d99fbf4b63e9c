// The proof-of-work challenge that the browser widget solves. The site hands out
// a salt that carries its expiry, its form and its difficulty, the SHA-256 of
// the salt followed by a secret number no greater than maxnumber, and an
// HMAC-SHA256 of that hash keyed with ChallengeKey; the widget finds the number
// by trying each one and sends the solution in the field "altcha": base64 of a
// JSON object with the algorithm, challenge, number, salt and signature. Pure
// computation; the digests through the loaded OpenSSL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct OpenSslApi;

inline constexpr char kChallengeAlgorithm[] = "SHA-256";

// One challenge to hand out: `salt_random` (hex digits) becomes the salt with
// "?expires=<expires>&form=<form>&maxnumber=<max_number>&" after it (Unix
// seconds; the form's profile name percent-encoded, empty for [Velloc]'s
// settings). The salt is part of what is hashed, so these are the site's own.
struct ChallengeIssue {
  std::string salt_random;
  std::int64_t number = 0;
  std::int64_t max_number = 0;
  std::int64_t expires = 0;
  std::string form;
};

// The challenge as the widget reads it: {"algorithm", "challenge", "maxnumber",
// "salt", "signature"}. Empty when OpenSSL fails.
std::string challenge_json(const OpenSslApi& tls, std::string_view key,
                           const ChallengeIssue& issue);

enum class SolutionCheck {
  kAccepted,
  kMissing,     // no solution sent
  kMalformed,   // not base64 of a JSON object with the five members
  kAlgorithm,   // an algorithm other than SHA-256
  kSignature,   // the challenge was not signed with this site's key
  kHash,        // the number does not solve the challenge
  kNoExpiry,    // the salt names no expiry
  kExpired,     // the expiry has passed
  kOtherForm,   // the challenge was handed out for another form
  kEasier,      // made with a lower ChallengeMaxNumber than the form's
  kUnavailable  // OpenSSL failed
};

struct SolutionVerdict {
  SolutionCheck check = SolutionCheck::kMalformed;
  // kAccepted: the challenge solved (64 hex digits), by which a second use is
  // known, and its expiry (Unix seconds).
  std::string challenge;
  std::int64_t expires = 0;
};

// Checks the solution field at `now` (Unix seconds) for the form named `form`
// (compared without regard to the case of ASCII letters) whose difficulty is
// `max_number`: the signature, then the hash, so that what is read from the salt
// is the site's own, then the expiry, the form and the difficulty, which may be
// higher than the form's (a challenge handed out before the form was made
// easier) but not lower.
SolutionVerdict verify_solution(const OpenSslApi& tls, std::string_view key, std::string_view field,
                                std::int64_t now, std::string_view form, std::int64_t max_number);

// "signature does not match", ..., for the log.
const char* solution_check_text(SolutionCheck check);

// The bytes of standard base64 text ("=" padding optional); false for any other
// character or a length no encoder makes.
bool decode_base64(std::string_view text, std::string* bytes);
