#include "velloc/request/event_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "velloc/request/log_file.h"

namespace {

constexpr std::size_t kMaxMessage = 1999;

// A value formatted into a message cannot start a forged log line: every carriage
// return and line feed becomes a blank, except the line end ("\n" or "\r\n") that
// closes the message.
void blank_inner_line_breaks(char* message) {
  std::size_t end = std::strlen(message);
  if (end > 0 && message[end - 1] == '\n') --end;
  if (end > 0 && message[end - 1] == '\r' && message[end] == '\n') --end;
  for (std::size_t i = 0; i < end; ++i)
    if (message[i] == '\r' || message[i] == '\n') message[i] = ' ';
}

void beep(const std::string& name) {
  std::string line = "velloc: cannot open log file '" + name + "'\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace

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

bool log_event(const MailMessage& context, int type, const char* format, ...) {
  if (!log_level_admits(context.log_level, type)) return true;
  char message[kMaxMessage + 1];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  blank_inner_line_breaks(message);

  std::time_t now = std::time(nullptr);
  struct tm local_time;
  localtime_r(&now, &local_time);

  std::string line = format_log_line(local_time, static_cast<long>(getpid()), message);
  if (!context.log->append(context.log_file, context.follow_links, line)) beep(context.log_file);
  return true;
}
