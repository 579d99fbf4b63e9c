// When a delivery that failed for the time being is tried again: after 1, 5, 15 and
// 30 minutes, then every hour, counted from the first attempt, until a limit of
// hours after the first attempt; then it is given up. Pure, so that every host that
// delivers computes the same times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr int kDefaultDeliveryRetryHours = 72;

// The time (Unix seconds) of the attempt after `attempts_made` attempts (at least
// one) of a delivery first tried at `first_attempt`: first_attempt plus the sum of
// the first `attempts_made` intervals. nullopt when that lies more than
// `retry_hours` after the first attempt (or attempts_made < 1): give up.
std::optional<std::int64_t> next_attempt_time(int attempts_made, std::int64_t first_attempt,
                                              int retry_hours = kDefaultDeliveryRetryHours);

// The DeliveryRetryHours setting: its leading digits, at most a year; the default
// when the text holds no number.
int parse_retry_hours(const std::string& text);
