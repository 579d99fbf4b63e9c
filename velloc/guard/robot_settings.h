// The typed settings of the checks against robots and spam that a form profile or
// [Velloc] sets: the challenge, the captcha and the content rules' link count, as the
// settings are read once per submission.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ChallengeSettings {
  std::string kind;  // Challenge, trimmed; empty: no challenge
  std::string key;   // ChallengeKey
  std::int64_t max_number = 100000;
  std::int64_t expires_seconds = 600;
  // A line for the log for each value that was not taken as written:
  // "ChallengeExpires=5 is under 10; 10 used".
  std::vector<std::string> adjusted;
  bool operator==(const ChallengeSettings&) const = default;
};

// ChallengeMaxNumber held within 1,000 and 10,000,000; ChallengeExpires within
// 10 s and one day. A value without leading digits gives the default; digits are
// read up to the first other character. An empty value is the default unsaid.
ChallengeSettings challenge_settings_from(std::string_view kind, std::string_view key,
                                          std::string_view max_number, std::string_view expires);

struct CaptchaSettings {
  std::string kind;        // Captcha, trimmed; empty: no captcha
  std::string secret;      // CaptchaSecret
  double min_score = 0.5;  // CaptchaMinScore, held within 0 and 1
  std::string verify_url;  // CaptchaVerifyURL, trimmed; empty: the provider's own
  bool fail_open = false;  // CaptchaFailOpen=1: let through when not reached
  std::string ca_file;     // HTTP_CA_FILE of [Velloc]; empty: the system's trust store
  bool operator==(const CaptchaSettings&) const = default;
};

// CaptchaMinScore: a number from 0 to 1 (held within them); anything else gives
// the default.
double parse_captcha_min_score(std::string_view text);

// MaxLinks as written: digits (a larger number is held at the largest); nullopt
// for an empty value or one that does not start with a digit.
std::optional<std::size_t> parse_max_links(std::string_view text);
