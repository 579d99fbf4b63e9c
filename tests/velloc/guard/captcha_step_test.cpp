#include "velloc/guard/captcha_step.h"

#include <gtest/gtest.h>

namespace {

TEST(CaptchaStep, MinScoreSetting) {
  struct Case {
    const char* text;
    double score;
  };
  const Case cases[] = {{"", 0.5},    {"0.7", 0.7},  {" 0.25 ", 0.25}, {"1", 1},
                        {"0", 0},     {"2", 1},      {"-1", 0},        {"0.7x", 0.5},
                        {"nan", 0.5}, {"high", 0.5}, {"inf", 1.0},     {"1e-3", 0.001}};
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(c.score, parse_captcha_min_score(c.text)) << c.text;
}

TEST(CaptchaStep, VerificationBodyIsFormEncoded) {
  EXPECT_EQ("secret=s%26%3D%2B%20k&response=T0k-_.~%2F%0A&remoteip=2001%3Adb8%3A%3A1",
            captcha_verification_body("s&=+ k", "T0k-_.~/\n", "2001:db8::1"));
  EXPECT_EQ("secret=s&response=t", captcha_verification_body("s", "t", ""));
}

}  // namespace
