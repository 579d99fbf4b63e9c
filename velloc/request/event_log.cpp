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

constexpr char kHexDigits[] = "0123456789abcdef";

// The length of the line end ("\n" or "\r\n") that closes `message`, 0 when none.
std::size_t closing_line_end(std::string_view message) {
  if (message.ends_with("\r\n")) return 2;
  return message.ends_with('\n') ? 1 : 0;
}

void append_hex(std::string& out, const char* lead, char32_t value, int digits) {
  out += lead;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out += kHexDigits[(value >> shift) & 0xF];
}

// Appends the character at the start of `text` as it is written to the log, and
// returns how many bytes it took. Carriage returns and line feeds become blanks; other control
// characters become "\x1b" (a single byte) or "\u2028" (a UTF-8 character), so that
// a terminal showing the log shows them instead of obeying them. A byte that starts
// no valid UTF-8 sequence stays, unless it is a C1 control on its own.
std::size_t append_visible(std::string& out, std::string_view text) {
  unsigned char byte = static_cast<unsigned char>(text[0]);
  if (byte == '\r' || byte == '\n') {
    out += ' ';
    return 1;
  }
  platform::Utf8Character character = platform::first_utf8_character(text);
  if (character.length == 0) {
    if (byte >= 0x80 && byte <= 0x9F)
      append_hex(out, "\\x", byte, 2);
    else
      out += static_cast<char>(byte);
    return 1;
  }
  if (!platform::is_control_character(character.code_point))
    out.append(text.substr(0, character.length));
  else if (character.length == 1)
    append_hex(out, "\\x", character.code_point, 2);
  else
    append_hex(out, "\\u", character.code_point, 4);
  return character.length;
}

void beep(const std::string& name) {
  std::string line = "velloc: cannot open log file '" + name + "'\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace

std::string visible_log_message(std::string_view message) {
  std::size_t end = message.size() - closing_line_end(message);
  std::string visible;
  visible.reserve(message.size());
  for (std::size_t at = 0; at < end;) at += append_visible(visible, message.substr(at, end - at));
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

bool log_event(const MailMessage& context, int type, const char* format, ...) {
  if (!log_level_admits(context.log_level, type)) return true;
  char message[kMaxMessage + 1];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);

  std::time_t now = context.clock->time();
  struct tm local_time;
  localtime_r(&now, &local_time);

  std::string line =
      format_log_line(local_time, static_cast<long>(getpid()), visible_log_message(message));
  if (!context.log->append(context.log_file, context.follow_links, line)) beep(context.log_file);
  return true;
}
