#include "velloc/request/json_log_line.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "platform/unicode_controls.h"

namespace {

constexpr std::array<std::string_view, 15> kEventNames = {
    "message",          "request",      "refused",     "spam",         "rate_limited",
    "settings_problem", "mail_failed",  "mail_queued", "webhook_sent", "webhook_failed",
    "webhook_queued",   "server_start", "server_stop", "worker_died",  "restart_failed",
};
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr int kSecondsPerMinute = 60;

void append_escape(std::string& out, char32_t code_point) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code_point));
  out += escape;
}

void append_member_name(std::string& out, std::string_view name) {
  out += ',';
  append_json_log_string(out, name);
  out += ':';
}

}  // namespace

std::string_view log_event_name(LogEvent event) {
  return kEventNames[static_cast<std::size_t>(event)];
}

std::string iso8601_local_time(const struct tm& t, int milliseconds) {
  long offset = t.tm_gmtoff / kSecondsPerMinute;
  char sign = offset < 0 ? '-' : '+';
  offset = std::labs(offset);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                milliseconds, sign, offset / kSecondsPerMinute, offset % kSecondsPerMinute);
  return text;
}

void append_json_log_string(std::string& out, std::string_view text) {
  out += '"';
  while (!text.empty()) {
    platform::Utf8Character character = platform::first_utf8_character(text);
    if (character.length == 0) {
      out += kReplacement;
      text.remove_prefix(1);
      continue;
    }
    char32_t code = character.code_point;
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (platform::is_control_character(code)) {
      append_escape(out, code);
    } else {
      out += text.substr(0, character.length);
    }
    text.remove_prefix(character.length);
  }
  out += '"';
}

std::string format_json_log_line(const JsonLogHead& head, std::span<const LogMember> members,
                                 bool with_message, std::string_view message) {
  std::string line = "{\"time\":";
  append_json_log_string(line, head.time);
  line += ",\"level\":" + std::to_string(head.level) + ",\"pid\":" + std::to_string(head.pid);
  append_member_name(line, "event");
  append_json_log_string(line, log_event_name(head.event));
  if (!head.request_id.empty()) {
    append_member_name(line, "request_id");
    append_json_log_string(line, head.request_id);
  }
  if (!head.form.empty()) {
    append_member_name(line, "form");
    append_json_log_string(line, head.form);
  }
  for (const LogMember& member : members) {
    append_member_name(line, member.name);
    if (member.literal)
      line += member.value;
    else
      append_json_log_string(line, member.value);
  }
  if (with_message) {
    if (message.ends_with('\n')) message.remove_suffix(1);
    if (message.ends_with('\r')) message.remove_suffix(1);
    append_member_name(line, "message");
    append_json_log_string(line, message);
  }
  return line + "}\n";
}
