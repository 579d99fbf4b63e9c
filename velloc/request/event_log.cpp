#include "velloc/request/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/path_map.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kMaxMessage = 1999;

// Opens the log for one line: "NUL" is the null device, "CON" the standard error
// stream (not closed afterwards). Returns -1 when it cannot be opened.
int open_log(const std::string& name, bool* owned) {
  *owned = true;
  if (platform::equal_ignoring_case(name, "CON")) {
    *owned = false;
    return STDERR_FILENO;
  }
  std::string path = platform::equal_ignoring_case(name, "NUL")
                         ? "/dev/null"
                         : platform::native_path_for_create(name);
  if (path.empty()) return -1;
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

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
  char message[kMaxMessage + 1];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  blank_inner_line_breaks(message);

  std::time_t now = std::time(nullptr);
  struct tm local_time;
  localtime_r(&now, &local_time);

  bool owned;
  int fd = open_log(context.log_file, &owned);
  if (fd < 0) {
    beep(context.log_file);
    return true;
  }
  if (log_level_admits(context.log_level, type)) {
    std::string line = format_log_line(local_time, static_cast<long>(getpid()), message);
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
  }
  if (owned) close(fd);
  return true;
}
