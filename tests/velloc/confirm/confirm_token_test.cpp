#include "velloc/confirm/confirm_token.h"

#include <gtest/gtest.h>

namespace {

constexpr char kSecret[] = "0123456789abcdef0123456789abcdef";

TEST(ConfirmToken, BindsTheSubmissionAndTheTime) {
  const std::string token = confirm_token(kSecret, "S1", 1000);
  const std::string other_time = std::string("2000").append(token, 4);
  struct Case {
    const char* secret;
    const char* submission;
    std::string token;
    std::int64_t now;
    ConfirmCheck expected;
  };
  const Case cases[] = {
      {kSecret, "S1", token, 999, ConfirmCheck::kValid},
      {kSecret, "S1", token, 1000, ConfirmCheck::kExpired},     // valid up to its time
      {kSecret, "S2", token, 999, ConfirmCheck::kForged},       // another submission
      {kSecret, "S1", other_time, 999, ConfirmCheck::kForged},  // a later time written in
      {"another secret, just as long....", "S1", token, 999, ConfirmCheck::kForged},
      {"", "S1", token, 999, ConfirmCheck::kForged},  // no secret checks nothing
      {kSecret, "S1", token.substr(0, token.size() - 1), 999, ConfirmCheck::kForged},
      {kSecret, "S1", std::string("-").append(token, 5), 999, ConfirmCheck::kForged},
      {kSecret, "S1", "", 999, ConfirmCheck::kForged},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, check_confirm_token(c.secret, c.submission, c.token, c.now)) << c.token;
}

}  // namespace
