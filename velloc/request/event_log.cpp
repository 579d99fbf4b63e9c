#include "velloc/request/event_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/unicode_controls.h"
#include "velloc/request/log_file.h"

namespace {

constexpr std::size_t kMaxMessage = 1999;

// The length of the line end ("\n" or "\r\n") that closes `message`, 0 when none.
std::size_t closing_line_end(std::string_view message) {
  if (message.ends_with("\r\n")) return 2;
  return message.ends_with('\n') ? 1 : 0;
}

void beep(const std::string& name) {
  std::string line = "velloc: cannot open log file '" + name + "'\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace

std::string visible_log_message(std::string_view message) {
  std::size_t end = message.size() - closing_line_end(message);
  std::string visible =
      platform::escape_controls(message.substr(0, end), platform::ControlEscape::kOneLine);
  visible.append(message.substr(end));
  return visible;
}

bool log_level_admits(int log_level, int type) {
  switch (log_level) {
    case 1:
      return type == 1;
    case 5:
      return type == 1 || type == 5;
    case 10:
      return type == 1 || type == 10;
    case 15:
      return type == 1 || type == 5 || type == 15;
    default:
      return false;
  }
}

std::string format_log_line(const struct tm& t, long pid, const std::string& message) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[%02d/%02d/%02d|%02d:%02d:%02d|%05ld] ", t.tm_mon + 1,
                t.tm_mday, t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec, pid);
  return prefix + message;
}

namespace {

// At LOG_LEVEL 15 a JSON line carries its message (a line of its own members may
// have none); below, the message may hold a visitor's values and stays out.
constexpr int kLevelWithValues = 15;
constexpr int kMillisecondsPerSecond = 1000;

void append_line(const LogContext& context, const std::string& line) {
  if (!context.log->append(context.log_file, context.follow_links, line)) beep(context.log_file);
}

std::string json_line(const LogContext& context, LogEvent event, int type,
                      std::span<const LogMember> members, std::string_view message) {
  std::int64_t milliseconds = context.clock->unix_milliseconds();
  std::time_t now = static_cast<std::time_t>(milliseconds / kMillisecondsPerSecond);
  struct tm local_time;
  localtime_r(&now, &local_time);
  JsonLogHead head;
  head.time =
      iso8601_local_time(local_time, static_cast<int>(milliseconds % kMillisecondsPerSecond));
  head.level = type;
  head.pid = static_cast<long>(getpid());
  head.event = event;
  head.request_id = context.request_id;
  head.form = context.form;
  bool with_message = context.log_level == kLevelWithValues && !message.empty();
  return format_json_log_line(head, members, with_message, message);
}

void write_event(const LogContext& context, LogEvent event, int type, const char* format,
                 va_list arguments) {
  char message[kMaxMessage + 1];
  std::vsnprintf(message, sizeof message, format, arguments);
  if (context.log_format == LogFormat::kJson) {
    append_line(context, json_line(context, event, type, {}, message));
    return;
  }
  std::time_t now = context.clock->time();
  struct tm local_time;
  localtime_r(&now, &local_time);
  append_line(context, format_log_line(local_time, static_cast<long>(getpid()),
                                       visible_log_message(message)));
}

}  // namespace

bool log_event(const LogContext& context, int type, const char* format, ...) {
  if (!log_level_admits(context.log_level, type)) return true;
  va_list arguments;
  va_start(arguments, format);
  write_event(context, LogEvent::kMessage, type, format, arguments);
  va_end(arguments);
  return true;
}

bool log_event(const LogContext& context, LogEvent event, int type, const char* format, ...) {
  if (!log_level_admits(context.log_level, type)) return true;
  va_list arguments;
  va_start(arguments, format);
  write_event(context, event, type, format, arguments);
  va_end(arguments);
  return true;
}

void log_record(const LogContext& context, LogEvent event, int type,
                std::span<const LogMember> members, std::string_view message) {
  if (!log_level_admits(context.log_level, type)) return;
  if (context.log_format == LogFormat::kJson) {
    append_line(context, json_line(context, event, type, members, message));
    return;
  }
  if (!message.empty())
    log_event(context, type, "%.*s", static_cast<int>(message.size()), message.data());
}
