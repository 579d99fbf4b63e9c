#include "velloc/request/page_head.h"

#include <array>
#include <ostream>
#include <unordered_set>

#include "platform/text.h"
#include "velloc/request/html_escape.h"

namespace {

constexpr std::size_t kMaxNameList = 1999;

constexpr std::array<std::string_view, 11> kControlFields = {
    "BGCOLOR",  "BGIMAGE",  "TEXTCOLOR", "FULLHEAD",     "SORTORDER", "REQUIRED",
    "REDIRECT", "LINKBACK", "SUBJECT",   "LINKBACKTEXT", "RECIPIENT"};

// Writes `text`, HTML-escaped when asked, a piece at a time: a large value is never
// copied whole.
void write_argument(std::ostream& out, std::string_view text, Escape escape) {
  constexpr std::size_t kPiece = 64 * 1024;
  if (escape == Escape::kNone) {
    out << text;
    return;
  }
  for (std::size_t at = 0; at < text.size(); at += kPiece)
    out << html_escape(text.substr(at, kPiece));
}

// Writes `format` with its "%s" placeholders taken by `name` and then `value`
// ("%%" is a percent sign; a third "%s" gets nothing).
void write_line(std::ostream& out, std::string_view format, std::string_view name,
                std::string_view value, Escape escape) {
  std::string_view arguments[] = {name, value};
  std::size_t next_argument = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out << format[i];
    } else if (format[++i] == 's') {
      if (next_argument < 2) write_argument(out, arguments[next_argument++], escape);
    } else {
      out << format[i];
    }
  }
}

void write_attribute(std::ostream& out, const CgiRequest& request, std::string_view field,
                     std::string_view attribute) {
  if (request.field_is_set(field))
    out << ' ' << attribute << "=\"" << html_escape(request.get_field(field)) << '"';
}

}  // namespace

bool is_control_field(std::string_view name) {
  std::string upper = to_upper_ascii(name);
  for (std::string_view control : kControlFields)
    if (upper == control) return true;
  return false;
}

std::vector<std::string> split_name_list(std::string_view list) {
  return platform::split_at(list.substr(0, kMaxNameList), ", ");
}

bool write_page_head(std::ostream& out, const CgiRequest& request, std::string_view content_type,
                     std::string_view header_lines) {
  if (request.field_is_set("FULLHEAD")) out << "HTTP/1.0 200 OK\n";
  out << header_lines << "Content-Type: " << content_type << "\n\n<HTML>\n<BODY";
  write_attribute(out, request, "BGCOLOR", "BGCOLOR");
  write_attribute(out, request, "BGIMAGE", "BACKGROUND");
  write_attribute(out, request, "TEXTCOLOR", "TEXT");
  out << ">\n";
  return true;
}

bool write_field_list(std::ostream& out, const CgiRequest& request, std::string_view line_format,
                      Escape escape, const LeftOutFields& left_out) {
  for_each_listed_field(
      request,
      [&](std::string_view name, std::string_view value) {
        write_line(out, line_format, name, value, escape);
      },
      left_out);
  return true;
}

void for_each_listed_field(
    const CgiRequest& request,
    const std::function<void(std::string_view name, std::string_view value)>& visit,
    const LeftOutFields& left_out) {
  if (request.field_is_set("SORTORDER")) {
    std::unordered_set<std::string> listed;
    for (const std::string& name : split_name_list(request.get_field("SORTORDER")))
      if (listed.insert(to_upper_ascii(name)).second) visit(name, request.field_text(name));
    return;
  }
  request.fields.for_each([&](const std::string& name, const std::string& value) {
    if (!is_control_field(name) && !(left_out && left_out(name))) visit(name, value);
  });
}
