#include "velloc/guard/challenge_step.h"

#include <chrono>
#include <random>

#include "platform/text.h"
#include "velloc/guard/altcha.h"
#include "velloc/guard/form_profile.h"
#include "velloc/guard/submission_limits.h"
#include "velloc/mail/openssl_library.h"
#include "velloc/refusal.h"
#include "velloc/request/event_log.h"
#include "velloc/run.h"

namespace {

constexpr char kAltcha[] = "altcha";
constexpr std::size_t kSaltBytes = 12;

std::int64_t unix_now(const Run& run) { return run.site.clock().unix_seconds(); }

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

Answer issue_challenge(Run& run) {
  const ChallengeSettings& settings = read_challenge_settings(run);
  if (const char* why = cannot_turn_on(settings)) refuse(run, why);
  std::string json =
      challenge_json(openssl_or_refuse(run), settings.key,
                     new_issue(settings, form_profile_name(run.settings), unix_now(run)));
  if (json.empty()) refuse(run, "OpenSSL could not sign the challenge");
  Answer answer = Answer::of(Answer::Kind::kChallenge);
  answer.body = std::move(json);
  return answer;
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
