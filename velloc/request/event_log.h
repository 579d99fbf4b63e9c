// The event log: one line per event appended to the log file named by the context
// record, filtered by its log level. Message types: 1 errors, 5 mail progress,
// 15 traces (10 is accepted but unused). Each line is a single write to a file
// opened with O_APPEND (once per run, see LogFile), so concurrent runs never
// interleave within a line. LogFormat=json writes each line as one JSON object
// (see json_log_line.h) instead of the bracketed text.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "velloc/request/json_log_line.h"
#include "velloc/request/log_file.h"

// Where a run's log lines go: the log file and level its settings name, the file as
// opened once per request (shared by the run's copies of it), and the clock that dates
// each line. The run's mail record is one.
struct LogContext {
  std::string log_file = "NUL";
  std::int32_t log_level = 1;
  std::shared_ptr<LogFile> log = std::make_shared<LogFile>();
  // The clock of log lines (and of the mail's Date); the Site's in a run.
  const platform::Clock* clock = &platform::system_clock();
  // FollowLinks=1: the folders named by the settings may be symbolic links.
  bool follow_links = false;
  // LogFormat: the bracketed text lines, or one JSON object per line.
  LogFormat log_format = LogFormat::kText;
  // What a JSON line says of the request it belongs to: its id (empty outside a
  // request), the form profile it chose (empty: none) and when it began.
  std::string request_id;
  std::string form;
  std::chrono::steady_clock::time_point began{};
};

// True when `log_level` admits messages of `type`.
bool log_level_admits(int log_level, int type);

// "[MM/DD/YY|HH:MM:SS|%05d] message" for the given local time and pid.
std::string format_log_line(const struct tm& local_time, long pid, const std::string& message);

// The message as it is written: carriage returns and line feeds inside it become
// blanks, so that a logged value cannot forge a line, and every other control
// character (C0, DEL, C1, U+2028, U+2029, the bidirectional controls) is written
// escaped, as "\x1b" or "\u2028". Only the closing line end ("\n" or "\r\n") stays;
// printable UTF-8 and other bytes stay as they are.
std::string visible_log_message(std::string_view message);

// Formats the message (cut to 1999 characters) and appends it, made visible as
// above, when the level admits the type. The file is opened (and so created) at the
// first line the level admits, never for a filtered one. "NUL" is the null device,
// "CON" standard error. Always returns true.
bool log_event(const LogContext& context, int type, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The same, for a line of a kind a collector counts: a JSON line names `event`
// (the other form names "message"). The text line is the same bytes.
bool log_event(const LogContext& context, LogEvent event, int type, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// A line with members of its own (numbers and names the server chose, never a
// request's values) when the level admits the type. A JSON line carries the members
// and, at LOG_LEVEL 15, `message`; a text line is `message` alone, and nothing at
// all when `message` is empty.
void log_record(const LogContext& context, LogEvent event, int type,
                std::span<const LogMember> members, std::string_view message);
