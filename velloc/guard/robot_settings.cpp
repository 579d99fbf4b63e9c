#include "velloc/guard/robot_settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/text.h"
#include "velloc/guard/captcha_answer.h"

namespace {

constexpr std::int64_t kMinMaxNumber = 1000;
constexpr std::int64_t kMaxMaxNumber = 10'000'000;
constexpr std::int64_t kMinExpires = 10;
constexpr std::int64_t kMaxExpires = 24 * 3600;

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

double parse_captcha_min_score(std::string_view text) {
  text = platform::trim(text);
  double value = 0;
  auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (failure != std::errc() || end != text.data() + text.size() || std::isnan(value))
    return kDefaultCaptchaMinScore;
  return std::clamp(value, 0.0, 1.0);
}

std::optional<std::size_t> parse_max_links(std::string_view text) {
  text = platform::trim(text);
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  constexpr std::size_t kLargest = std::numeric_limits<std::size_t>::max() / 10 - 9;
  std::size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value >= kLargest ? kLargest : value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value;
}
