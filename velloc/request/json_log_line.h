// The JSON form of a log line (LogFormat=json): one object per line with the time
// (ISO 8601, local time with its offset), the level (the line's type), the pid, the
// event and what the line knows of its request, then its own members. Pure
// functions over values; the event log writes what they make.
#pragma once

#include <ctime>
#include <span>
#include <string>
#include <string_view>

// How log lines are written: the bracketed text, or one JSON object per line.
enum class LogFormat { kText, kJson };

// The kinds of lines a collector tells apart by their "event"; kMessage for every
// other line. Each name is stable once written.
enum class LogEvent {
  kMessage,          // "message"
  kRequest,          // "request": one per request, its outcome and duration
  kRefused,          // "refused": a step refused the submission or it failed
  kSpam,             // "spam": judged spam, nothing done
  kRateLimited,      // "rate_limited"
  kSettingsProblem,  // "settings_problem"
  kMailFailed,       // "mail_failed": the relay could not be reached or said no
  kMailQueued,       // "mail_queued": left for a later delivery
  kWebhookSent,      // "webhook_sent"
  kWebhookFailed,    // "webhook_failed"
  kWebhookQueued,    // "webhook_queued"
  kServerStart,      // "server_start": version, address, workers
  kServerStop,       // "server_stop"
  kWorkerDied,       // "worker_died"
  kRestartFailed,    // "restart_failed": the server could not start itself anew
};

std::string_view log_event_name(LogEvent event);

// A member of a line of its own: a name and a value, written as it is when
// `literal` (a number, true or false that the caller made), else as a string.
struct LogMember {
  std::string_view name;
  std::string value;
  bool literal = false;
};

// The members every JSON line begins with.
struct JsonLogHead {
  std::string time;  // iso8601_local_time
  int level = 1;
  long pid = 0;
  LogEvent event = LogEvent::kMessage;
  std::string_view request_id;  // empty: left out
  std::string_view form;        // empty: left out
};

// "2026-12-09T21:40:05.123+01:00": `local_time` with its offset (tm_gmtoff).
std::string iso8601_local_time(const struct tm& local_time, int milliseconds);

// Appends `text` as a JSON string literal: '"', '\' and control characters
// (C0, DEL, C1, U+2028, U+2029, the bidirectional controls) escaped, and each byte
// outside well-formed UTF-8 replaced by U+FFFD.
void append_json_log_string(std::string& out, std::string_view text);

// The whole line, "\n" included: the head, the members in order, and "message"
// (its closing line end dropped) when `with_message`.
std::string format_json_log_line(const JsonLogHead& head, std::span<const LogMember> members,
                                 bool with_message, std::string_view message);
