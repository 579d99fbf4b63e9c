#include "velloc/guard/challenge_step.h"

#include <chrono>
#include <random>

#include "platform/text.h"
#include "velloc/guard/altcha.h"
#include "velloc/guard/form_profile.h"
#include "velloc/guard/submission_limits.h"
#include "velloc/mail/openssl_library.h"
#include "velloc/request/event_log.h"
#include "velloc/request/refusal.h"
#include "velloc/run.h"

namespace {

constexpr char kChallengePath[] = "/challenge";
constexpr char kAltcha[] = "altcha";
constexpr std::size_t kSaltBytes = 12;
constexpr std::int64_t kMinMaxNumber = 1000;
constexpr std::int64_t kMaxMaxNumber = 10'000'000;
constexpr std::int64_t kMinExpires = 10;
constexpr std::int64_t kMaxExpires = 24 * 3600;

std::int64_t unix_now(const Run& run) { return run.site.clock().unix_seconds(); }

// The setting `name`'s number, `fallback` when it is empty; a value without
// leading digits, or outside `low` to `high`, adds a line to `adjusted`.
std::int64_t number_or(std::string_view name, std::string_view text, std::int64_t fallback,
                       std::int64_t low, std::int64_t high, std::vector<std::string>& adjusted) {
  text = platform::trim(text);
  if (text.empty()) return fallback;
  auto note = [&](const std::string& why, std::int64_t used) {
    adjusted.push_back(std::string(name) + "=" + std::string(text) + " " + why + "; " +
                       std::to_string(used) + " used");
    return used;
  };
  if (text.front() < '0' || text.front() > '9') return note("is no number", fallback);
  std::int64_t value = 0;
  bool over = false;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    over = over || value > (high - (c - '0')) / 10;
    value = over ? high : value * 10 + (c - '0');
  }
  if (over) return note("is over " + std::to_string(high), high);
  if (value < low) return note("is under " + std::to_string(low), low);
  return value;
}

const ChallengeSettings& read_challenge_settings(const Run& run) {
  const ChallengeSettings& settings = run.settings.challenge;
  if (!settings.kind.empty())
    for (const std::string& line : settings.adjusted)
      log_event(run.message, 1, "Challenge setting %s\n", line.c_str());
  return settings;
}

[[noreturn]] void refuse(Run& run, const char* why) {
  log_event(run.message, 1, "Challenge refused: %s\n", why);
  fail_request(run.message, kNotARobot, Reason::kChallenge);
}

// Why the challenge cannot be turned on for this form; nullptr when it can.
const char* cannot_turn_on(const ChallengeSettings& settings) {
  if (!platform::equal_ignoring_case(settings.kind, kAltcha))
    return "Challenge names no known challenge";
  if (settings.key.empty()) return "Challenge set without ChallengeKey";
  return nullptr;
}

const OpenSslApi& openssl_or_refuse(Run& run) {
  std::string error;
  const OpenSslApi* tls = openssl_api(&error);
  if (tls == nullptr) {
    log_event(run.message, 1, "Challenge refused: OpenSSL not available (%s)\n", error.c_str());
    fail_request(run.message, kNotARobot, Reason::kChallenge);
  }
  return *tls;
}

ChallengeIssue new_issue(const ChallengeSettings& settings, std::string form, std::int64_t now) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device random;
  ChallengeIssue issue;
  for (std::size_t i = 0; i < kSaltBytes; ++i) {
    unsigned byte = random() & 0xFF;
    issue.salt_random += kHex[byte >> 4];
    issue.salt_random += kHex[byte & 0xF];
  }
  std::uniform_int_distribution<std::int64_t> number(0, settings.max_number);
  issue.number = number(random);
  issue.max_number = settings.max_number;
  issue.expires = now + settings.expires_seconds;
  issue.form = std::move(form);
  return issue;
}

}  // namespace

ChallengeSettings challenge_settings_from(std::string_view kind, std::string_view key,
                                          std::string_view max_number, std::string_view expires) {
  ChallengeSettings settings;
  settings.kind = std::string(platform::trim(kind));
  settings.key = std::string(key);
  settings.max_number = number_or("ChallengeMaxNumber", max_number, settings.max_number,
                                  kMinMaxNumber, kMaxMaxNumber, settings.adjusted);
  settings.expires_seconds = number_or("ChallengeExpires", expires, settings.expires_seconds,
                                       kMinExpires, kMaxExpires, settings.adjusted);
  return settings;
}

void answer_challenge_request(Run& run) {
  if (run.request.get_env("REQUEST_METHOD") != "GET" ||
      run.request.get_env("PATH_INFO") != kChallengePath)
    return;
  const ChallengeSettings& settings = read_challenge_settings(run);
  if (const char* why = cannot_turn_on(settings)) refuse(run, why);
  std::string json =
      challenge_json(openssl_or_refuse(run), settings.key,
                     new_issue(settings, form_profile_name(run.settings), unix_now(run)));
  if (json.empty()) refuse(run, "OpenSSL could not sign the challenge");
  Answer answer = Answer::of(Answer::Kind::kChallenge);
  answer.body = std::move(json);
  throw RunEnded{std::move(answer)};
}

void check_challenge(Run& run) {
  const ChallengeSettings& settings = read_challenge_settings(run);
  if (settings.kind.empty()) return;
  if (const char* why = cannot_turn_on(settings)) refuse(run, why);
  std::string error;
  StateStore* store = run.site.state_store(
      state_connection_string(run.settings.state_dsn, run.settings.settings_file), &error);
  if (store == nullptr) {
    log_event(run.message, 1, "Challenge refused: state store not available: %s\n", error.c_str());
    fail_request(run.message, kNotARobot, Reason::kChallenge);
  }
  SolutionVerdict verdict =
      verify_solution(openssl_or_refuse(run), settings.key, run.request.get_field(kSolutionField),
                      unix_now(run), form_profile_name(run.settings), settings.max_number);
  if (verdict.check != SolutionCheck::kAccepted) refuse(run, solution_check_text(verdict.check));
  std::optional<bool> first =
      store->use_once(verdict.challenge, verdict.expires * 1000, unix_now(run) * 1000, &error);
  if (!first) {
    run.site.state_store_failed();
    log_event(run.message, 1, "Challenge refused: state store not available: %s\n", error.c_str());
    fail_request(run.message, kNotARobot, Reason::kChallenge);
  }
  if (!*first) refuse(run, "solution already used");
  drop_checked_field(run, kSolutionField);
}

void drop_checked_field(Run& run, std::string_view name) {
  auto named = [name](const std::string& field) {
    return platform::equal_ignoring_case(field, name);
  };
  remove_fields(run.request.fields, named);
  if (run.visitor_fields) remove_fields(*run.visitor_fields, named);
}
