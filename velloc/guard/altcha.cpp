#include "velloc/guard/altcha.h"

#include <charconv>
#include <optional>

#include "platform/text.h"
#include "velloc/archive/sha256.h"
#include "velloc/request/field_map.h"
#include "velloc/request/json_body.h"
#include "velloc/response/json_writer.h"
#include "velloc/webhook/webhook_signature.h"

namespace {

constexpr std::string_view kExpiresParameter = "expires";
constexpr std::string_view kFormParameter = "form";
constexpr std::string_view kMaxNumberParameter = "maxnumber";
// Far more than any solution the widget sends; a longer field is not decoded.
constexpr std::size_t kMaxSolutionLength = 4096;
constexpr std::size_t kMaxNumberDigits = 15;

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool all_digits(std::string_view text, std::size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Equal texts, compared in a time that does not tell where they differ.
bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

std::string sha256_hex(std::string_view data) {
  Sha256 digest;
  digest.update(data);
  return digest.hex_digest();
}

// The value of the salt's parameter `name` (after its "?", parameters joined by
// "&"); nullopt when it has none.
std::optional<std::string_view> salt_parameter(std::string_view salt, std::string_view name) {
  std::size_t query = salt.find('?');
  if (query == std::string_view::npos) return std::nullopt;
  std::string_view rest = salt.substr(query + 1);
  while (!rest.empty()) {
    std::size_t amp = rest.find('&');
    std::string_view parameter = rest.substr(0, amp);
    if (parameter.size() > name.size() && parameter.starts_with(name) &&
        parameter[name.size()] == '=')
      return parameter.substr(name.size() + 1);
    if (amp == std::string_view::npos) break;
    rest = rest.substr(amp + 1);
  }
  return std::nullopt;
}

// The number the salt's parameter `name` holds; nullopt when it holds none.
std::optional<std::int64_t> salt_number(std::string_view salt, std::string_view name) {
  std::optional<std::string_view> digits = salt_parameter(salt, name);
  if (!digits || !all_digits(*digits, kMaxNumberDigits)) return std::nullopt;
  std::int64_t value = 0;
  std::from_chars(digits->data(), digits->data() + digits->size(), value);
  return value;
}

SolutionVerdict verdict(SolutionCheck check) {
  SolutionVerdict result;
  result.check = check;
  return result;
}

}  // namespace

bool decode_base64(std::string_view text, std::string* bytes) {
  while (!text.empty() && text.back() == '=' && text.size() % 4 != 1) text.remove_suffix(1);
  if (text.size() % 4 == 1) return false;
  bytes->clear();
  bytes->reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int value = base64_value(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes->push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
}

std::string challenge_json(const OpenSslApi& tls, std::string_view key,
                           const ChallengeIssue& issue) {
  std::string salt = issue.salt_random + "?" + std::string(kExpiresParameter) + "=" +
                     std::to_string(issue.expires) + "&" + std::string(kFormParameter) + "=" +
                     platform::percent_encode(issue.form) + "&" + std::string(kMaxNumberParameter) +
                     "=" + std::to_string(issue.max_number) + "&";
  std::string challenge = sha256_hex(salt + std::to_string(issue.number));
  std::string signature = hmac_sha256_hex(tls, key, challenge);
  if (signature.empty()) return {};
  return JsonObject()
      .add_string("algorithm", kChallengeAlgorithm)
      .add_string("challenge", challenge)
      .add_json("maxnumber", std::to_string(issue.max_number))
      .add_string("salt", salt)
      .add_string("signature", signature)
      .text();
}

SolutionVerdict verify_solution(const OpenSslApi& tls, std::string_view key, std::string_view field,
                                std::int64_t now, std::string_view form, std::int64_t max_number) {
  if (field.empty()) return verdict(SolutionCheck::kMissing);
  std::string json;
  if (field.size() > kMaxSolutionLength || !decode_base64(field, &json))
    return verdict(SolutionCheck::kMalformed);
  FieldMap members;
  try {
    FieldAdder adder(members, ",", RequestLimits{});
    decode_json_body(json, adder);
  } catch (const std::exception&) {
    return verdict(SolutionCheck::kMalformed);
  }
  const std::string* algorithm = members.find("algorithm");
  const std::string* challenge = members.find("challenge");
  const std::string* number = members.find("number");
  const std::string* salt = members.find("salt");
  const std::string* signature = members.find("signature");
  if (!algorithm || !challenge || !number || !salt || !signature ||
      !all_digits(*number, kMaxNumberDigits))
    return verdict(SolutionCheck::kMalformed);
  if (*algorithm != kChallengeAlgorithm) return verdict(SolutionCheck::kAlgorithm);
  std::string expected = hmac_sha256_hex(tls, key, *challenge);
  if (expected.empty()) return verdict(SolutionCheck::kUnavailable);
  if (!same_text(expected, *signature)) return verdict(SolutionCheck::kSignature);
  if (!same_text(sha256_hex(*salt + *number), *challenge)) return verdict(SolutionCheck::kHash);
  std::optional<std::int64_t> expires = salt_number(*salt, kExpiresParameter);
  if (!expires) return verdict(SolutionCheck::kNoExpiry);
  if (*expires <= now) return verdict(SolutionCheck::kExpired);
  std::optional<std::string_view> made_for = salt_parameter(*salt, kFormParameter);
  if (!made_for || !platform::equal_ignoring_case(*made_for, platform::percent_encode(form)))
    return verdict(SolutionCheck::kOtherForm);
  std::optional<std::int64_t> made_with = salt_number(*salt, kMaxNumberParameter);
  if (!made_with || *made_with < max_number) return verdict(SolutionCheck::kEasier);
  SolutionVerdict accepted = verdict(SolutionCheck::kAccepted);
  accepted.challenge = *challenge;
  accepted.expires = *expires;
  return accepted;
}

const char* solution_check_text(SolutionCheck check) {
  switch (check) {
    case SolutionCheck::kAccepted:
      return "accepted";
    case SolutionCheck::kMissing:
      return "no solution sent";
    case SolutionCheck::kMalformed:
      return "solution not readable";
    case SolutionCheck::kAlgorithm:
      return "algorithm not SHA-256";
    case SolutionCheck::kSignature:
      return "signature does not match";
    case SolutionCheck::kHash:
      return "number does not solve the challenge";
    case SolutionCheck::kNoExpiry:
      return "challenge names no expiry";
    case SolutionCheck::kExpired:
      return "challenge expired";
    case SolutionCheck::kOtherForm:
      return "challenge made for another form";
    case SolutionCheck::kEasier:
      return "challenge easier than the form's";
    case SolutionCheck::kUnavailable:
      return "OpenSSL not available";
  }
  return "unknown";
}
