#include "velloc/guard/altcha.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velloc/archive/sha256.h"
#include "velloc/guard/challenge_step.h"
#include "velloc/mail/base64.h"
#include "velloc/mail/openssl_library.h"
#include "velloc/request/json_body.h"
#include "velloc/webhook/webhook_signature.h"

namespace {

constexpr char kKey[] = "site challenge key";
constexpr std::int64_t kNow = 1'800'000'000;
// The form that checks the solutions: its profile's name and ChallengeMaxNumber.
constexpr char kForm[] = "quiz";
constexpr std::int64_t kMaxNumber = 5000;

const OpenSslApi& tls() {
  std::string error;
  const OpenSslApi* api = openssl_api(&error);
  if (!api) ADD_FAILURE() << error;
  return *api;
}

std::string sha256_hex(const std::string& text) {
  Sha256 digest;
  digest.update(text);
  return digest.hex_digest();
}

// A solution as the widget sends it, each member given as JSON text.
struct Solution {
  std::string algorithm = "\"SHA-256\"";
  std::string salt = "0a1b2c3d?expires=1800000600&form=quiz&maxnumber=5000&";
  std::string number = "4711";
  std::string key = kKey;          // the key that signed the challenge
  std::string hashed_salt = "";    // the salt the challenge was made of; empty: `salt`
  std::string hashed_number = "";  // the same for the number

  std::string field() const {
    std::string challenge = sha256_hex((hashed_salt.empty() ? salt : hashed_salt) +
                                       (hashed_number.empty() ? number : hashed_number));
    std::string json = "{\"algorithm\":" + algorithm + ",\"challenge\":\"" + challenge +
                       "\",\"number\":" + number + ",\"salt\":\"" + salt + "\",\"signature\":\"" +
                       hmac_sha256_hex(tls(), key, challenge) + "\"}";
    return base64_text(json);
  }
};

Solution with(void (*change)(Solution&)) {
  Solution solution;
  change(solution);
  return solution;
}

TEST(Altcha, SolutionChecks) {
  struct Case {
    const char* what;
    std::string field;
    SolutionCheck check;
  };
  std::string valid = Solution().field();
  std::string unpadded = valid.substr(0, valid.find('='));
  const Case cases[] = {
      {"solved", valid, SolutionCheck::kAccepted},
      {"solved, base64 unpadded", unpadded, SolutionCheck::kAccepted},
      {"nothing sent", "", SolutionCheck::kMissing},
      {"not base64", "e30=!", SolutionCheck::kMalformed},
      {"not JSON", base64_text("altcha"), SolutionCheck::kMalformed},
      {"a member missing", base64_text("{\"algorithm\":\"SHA-256\",\"number\":1}"),
       SolutionCheck::kMalformed},
      {"number not digits", with([](Solution& s) { s.number = "\"1e3\""; }).field(),
       SolutionCheck::kMalformed},
      {"another algorithm", with([](Solution& s) { s.algorithm = "\"SHA-1\""; }).field(),
       SolutionCheck::kAlgorithm},
      {"signed with another key", with([](Solution& s) { s.key = "guess"; }).field(),
       SolutionCheck::kSignature},
      {"wrong number", with([](Solution& s) { s.hashed_number = "4712"; }).field(),
       SolutionCheck::kHash},
      {"expiry moved on", with([](Solution& s) {
                            s.hashed_salt = s.salt;
                            s.salt = "0a1b2c3d?expires=1900000000&";
                          }).field(),
       SolutionCheck::kHash},
      {"expired", with([](Solution& s) { s.salt = "0a1b2c3d?expires=1800000000&"; }).field(),
       SolutionCheck::kExpired},
      {"made for another form sharing the key",
       with([](Solution& s) {
         s.salt = "0a1b2c3d?expires=1800000600&form=easy&maxnumber=5000&";
       }).field(),
       SolutionCheck::kOtherForm},
      {"made for the settings without a profile",
       with([](Solution& s) {
         s.salt = "0a1b2c3d?expires=1800000600&form=&maxnumber=5000&";
       }).field(),
       SolutionCheck::kOtherForm},
      {"made before forms were named",
       with([](Solution& s) { s.salt = "0a1b2c3d?expires=1800000600&"; }).field(),
       SolutionCheck::kOtherForm},
      {"form named in other letter case",
       with([](Solution& s) {
         s.salt = "0a1b2c3d?expires=1800000600&form=QUIZ&maxnumber=5000&";
       }).field(),
       SolutionCheck::kAccepted},
      {"made easier than the form", with([](Solution& s) {
                                      s.salt =
                                          "0a1b2c3d?expires=1800000600&form=quiz&maxnumber=1000&";
                                    }).field(),
       SolutionCheck::kEasier},
      {"made harder than the form", with([](Solution& s) {
                                      s.salt =
                                          "0a1b2c3d?expires=1800000600&form=quiz&maxnumber=100000&";
                                    }).field(),
       SolutionCheck::kAccepted},
      {"the form's difficulty moved on", with([](Solution& s) {
                                           s.hashed_salt = s.salt;
                                           s.salt =
                                               "0a1b2c3d?expires=1800000600&form=quiz&maxnumber="
                                               "9000&";
                                         }).field(),
       SolutionCheck::kHash},
      {"no expiry", with([](Solution& s) { s.salt = "0a1b2c3d"; }).field(),
       SolutionCheck::kNoExpiry},
      {"expiry not a number", with([](Solution& s) { s.salt = "0a1b2c3d?expires=soon"; }).field(),
       SolutionCheck::kNoExpiry},
  };
  for (const Case& c : cases) {
    SolutionVerdict verdict = verify_solution(tls(), kKey, c.field, kNow, kForm, kMaxNumber);
    EXPECT_EQ(c.check, verdict.check) << c.what << ": " << solution_check_text(verdict.check);
  }
  SolutionVerdict accepted = verify_solution(tls(), kKey, valid, kNow, kForm, kMaxNumber);
  EXPECT_EQ(1'800'000'600, accepted.expires);
  EXPECT_EQ(64u, accepted.challenge.size());
}

// A challenge handed out is solved by searching the numbers up to maxnumber, as
// the widget does, and the solution checks, for its own form only.
TEST(Altcha, IssuedChallengeIsSolvable) {
  ChallengeIssue issue{"00ff00ff", 987, 1000, kNow + 600, "Tea & cake"};
  std::string json = challenge_json(tls(), kKey, issue);
  FieldMap members;
  FieldAdder adder(members, ",", RequestLimits{});
  decode_json_body(json, adder);
  ASSERT_EQ("1000", *members.find("maxnumber"));
  const std::string& salt = *members.find("salt");
  const std::string& challenge = *members.find("challenge");
  int found = -1;
  for (int n = 0; n <= 1000 && found < 0; ++n)
    if (sha256_hex(salt + std::to_string(n)) == challenge) found = n;
  ASSERT_EQ(987, found);
  std::string solution = "{\"algorithm\":\"SHA-256\",\"challenge\":\"" + challenge +
                         "\",\"number\":987,\"salt\":\"" + salt + "\",\"signature\":\"" +
                         *members.find("signature") + "\"}";
  EXPECT_EQ(SolutionCheck::kAccepted,
            verify_solution(tls(), kKey, base64_text(solution), kNow, "tea & cake", 1000).check);
  EXPECT_EQ(SolutionCheck::kOtherForm,
            verify_solution(tls(), kKey, base64_text(solution), kNow, "Tea", 1000).check);
}

// A value not taken as written is said, for the log.
TEST(Altcha, SettingsHeldWithinBounds) {
  struct Case {
    const char* max_number;
    const char* expires;
    std::int64_t want_max;
    std::int64_t want_expires;
    std::vector<std::string> want_adjusted;
  };
  const Case cases[] = {
      {"", "", 100000, 600, {}},
      {"5",
       "1",
       1000,
       10,
       {"ChallengeMaxNumber=5 is under 1000; 1000 used",
        "ChallengeExpires=1 is under 10; 10 used"}},
      {"99999999999999999999",
       "9999999",
       10'000'000,
       24 * 3600,
       {"ChallengeMaxNumber=99999999999999999999 is over 10000000; 10000000 used",
        "ChallengeExpires=9999999 is over 86400; 86400 used"}},
      {"250000", " 120 ", 250000, 120, {}},
      {"10000000", "10", 10'000'000, 10, {}},
      {"many",
       "-5",
       100000,
       600,
       {"ChallengeMaxNumber=many is no number; 100000 used",
        "ChallengeExpires=-5 is no number; 600 used"}},
  };
  for (const Case& c : cases) {
    ChallengeSettings settings = challenge_settings_from("altcha", "k", c.max_number, c.expires);
    EXPECT_EQ(c.want_max, settings.max_number) << c.max_number;
    EXPECT_EQ(c.want_expires, settings.expires_seconds) << c.expires;
    EXPECT_EQ(c.want_adjusted, settings.adjusted) << c.max_number << " " << c.expires;
  }
}

}  // namespace
