#include "velloc/inbox/inbox_responder.h"

#include <ostream>
#include <string>

#include "platform/text.h"
#include "velloc/archive/archive_text.h"
#include "velloc/archive/delivery_records.h"
#include "velloc/guard/form_profile.h"
#include "velloc/inbox/inbox_access.h"
#include "velloc/inbox/inbox_chart.h"
#include "velloc/request/html_escape.h"
#include "velloc/response/http_status.h"
#include "velloc/response/json_writer.h"

namespace {

constexpr char kGuardHeaders[] =
    "Content-Security-Policy: default-src 'none'; style-src 'self'; img-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'\n"
    "X-Frame-Options: DENY\nReferrer-Policy: same-origin\nCache-Control: no-store\n"
    "X-Content-Type-Options: nosniff\n";
constexpr char kHtmlType[] = "text/html; charset=utf-8";
constexpr std::size_t kShownValueBytes = 60;
constexpr std::size_t kCopyBuffer = 64 * 1024;
// What attempts and actions recorded before their replies were kept say instead.
constexpr std::string_view kOldLogPointer = ", see the log";
constexpr std::string_view kOldFailureDetail = "see the log";

constexpr char kStylesheet[] = R"(*{box-sizing:border-box}
body{margin:0;font:15px/1.4 system-ui,sans-serif;color:#222;background:#f6f6f4}
header{display:flex;justify-content:space-between;padding:.6em 1em;background:#2d4a5a;color:#fff}
header a{color:#fff;font-weight:bold;text-decoration:none}
main{padding:.8em;max-width:70em;margin:auto}
h1{font-size:1.3em}
.chart{width:100%;height:auto;max-height:12em;background:#fff;border:1px solid #ddd}
.chart .all{fill:#7a9cb0}.chart .spam{fill:#c0504d}.chart text{font-size:10px;fill:#444}
.filters{display:flex;flex-wrap:wrap;gap:.5em;margin:.8em 0;align-items:end}
.filters label{display:flex;flex-direction:column;font-size:.85em}
input,select,button{font:inherit;padding:.3em}
table{width:100%;border-collapse:collapse;background:#fff}
th,td{text-align:left;padding:.35em;border-bottom:1px solid #e4e4e4;vertical-align:top}
td.fields{word-break:break-word}
.status-spam{color:#c0504d}.status-failed{color:#a33}.status-accepted{color:#3a7d44}
.status-pending{color:#8a6100}
.paging,.exports{margin:.8em 0;display:flex;gap:1em}
dl.fields{display:grid;grid-template-columns:minmax(6em,max-content) 1fr;gap:.3em 1em;
background:#fff;padding:.6em}
dl.fields dt{font-weight:bold}dl.fields dd{margin:0;white-space:pre-wrap;word-break:break-word}
.actions{display:flex;flex-wrap:wrap;gap:.5em}.actions form{margin:0}
@media (max-width:40em){
table.list thead{display:none}table.list tr{display:block;border-bottom:1px solid #ccc}
table.list td{display:block;border:0;padding:.15em .35em}
dl.fields{grid-template-columns:1fr}}
)";

std::string h(std::string_view text) { return html_escape(valid_utf8(text)); }

void write_head(std::ostream& out, int status, std::string_view type) {
  out << "Status: " << status << ' ' << http_status_text(status) << '\n'
      << kGuardHeaders << "Content-Type: " << type << "\n";
}

// Valid UTF-8 cut after about `limit` bytes, never inside a character.
std::string shortened(std::string_view text, std::size_t limit) {
  std::string valid = valid_utf8(text);
  if (valid.size() <= limit) return valid;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(valid[cut]) & 0xC0) == 0x80) --cut;
  return valid.substr(0, cut) + "\xE2\x80\xA6";
}

std::string submission_path(const InboxAnswer& answer, const std::string& id) {
  return answer.base + "/submission/" + platform::percent_encode(id);
}

void write_page(std::ostream& out, const InboxAnswer& answer, std::string_view title,
                const std::string& body) {
  write_head(out, answer.status, kHtmlType);
  out << "\n<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>" << h(title) << "</title>\n<link rel=\"stylesheet\" href=\"" << h(answer.base)
      << "/style.css\">\n</head><body>\n<header><a href=\"" << h(answer.base)
      << "\">Inbox</a><span class=\"user\">" << h(answer.user) << "</span></header>\n<main>\n"
      << body << "</main>\n</body></html>\n";
}

std::string option(const char* value, const char* label, const std::string& chosen) {
  return std::string("<option value=\"") + value + "\"" + (chosen == value ? " selected" : "") +
         ">" + label + "</option>";
}

std::string filter_form(const InboxAnswer& answer) {
  const InboxQuery& q = answer.query;
  auto input = [](const char* label, const char* type, const char* name, const std::string& v) {
    return std::string("<label>") + label + " <input type=\"" + type + "\" name=\"" + name +
           "\" value=\"" + h(v) + "\"></label>\n";
  };
  return "<form method=\"get\" class=\"filters\" action=\"" + h(answer.base) + "\">\n" +
         input("Form", "text", "form", q.form) + "<label>Status <select name=\"status\">" +
         option("", "any", q.status) + option("accepted", "accepted", q.status) +
         option("spam", "spam", q.status) + option("pending", "pending delivery", q.status) +
         option("failed", "failed delivery", q.status) +
         option("awaiting", "awaiting confirmation", q.status) + "</select></label>\n" +
         input("From", "date", "from", q.from) + input("To", "date", "to", q.to) +
         input("Search", "search", "q", q.search) + "<button type=\"submit\">Filter</button>\n" +
         "</form>\n";
}

// An accepted submission one of whose deliveries failed or waits is listed as
// such, in the words of the status filter that finds it.
std::string status_cell(const ArchivedSubmission& s) {
  bool by_delivery = s.status == "accepted" && !s.delivery_state.empty();
  const std::string& state = by_delivery ? s.delivery_state : s.status;
  return "<td class=\"status status-" + h(state) + "\">" + h(shown_status(state)) +
         (by_delivery ? " delivery" : "") + "</td>";
}

static_assert(static_cast<std::size_t>(kListedFields) + kProfileControlFieldCount <=
              static_cast<std::size_t>(kListingFieldsRead));

// The first of the visitor's own fields, in the order sent; the form's control
// fields steer velloc and say nothing of the submission.
std::string listed_fields(const ArchivedSubmission& s) {
  std::string fields;
  int listed = 0;
  for (const auto& [name, value] : s.fields) {
    if (listed == kListedFields) break;
    if (is_profile_control_field(name)) continue;
    fields += (listed++ ? "; " : "") + h(name) + "=" + h(shortened(value, kShownValueBytes));
  }
  return fields;
}

// The submission's tags, each a link to the list of those tagged so; nothing when it
// has none.
std::string tag_links(const InboxAnswer& answer, const ArchivedSubmission& s) {
  std::string links;
  for (const std::string& tag : s.tags) {
    InboxQuery tagged;
    tagged.tag = tag;
    links += " <a class=\"tag\" href=\"" + h(answer.base + "?" + inbox_query_string(tagged, 1)) +
             "\">" + h(tag) + "</a>";
  }
  return links;
}

std::string list_row(const InboxAnswer& answer, const ArchivedSubmission& s) {
  std::string fields = listed_fields(s) + tag_links(answer, s);
  return "<tr class=\"submission\"><td class=\"time\">" + iso_time(s.received_at) +
         "</td><td class=\"form\">" + h(s.form_profile) + "</td><td class=\"fields\">" + fields +
         "</td>" + status_cell(s) + "<td><a href=\"" + h(submission_path(answer, s.id)) +
         "\">Open</a></td></tr>\n";
}

std::string list_link(const InboxAnswer& answer, std::string_view path, int page) {
  std::string query = inbox_query_string(answer.query, page);
  return h(answer.base + std::string(path) + (query.empty() ? "" : "?" + query));
}

void write_list(std::ostream& out, const InboxAnswer& answer) {
  std::string body = "<h1>Submissions</h1>\n" + chart_svg(answer.days, answer.today) +
                     filter_form(answer) + "<p class=\"exports\"><a href=\"" +
                     list_link(answer, "/export.csv", 1) + "\">CSV</a><a href=\"" +
                     list_link(answer, "/export.json", 1) + "\">JSON</a></p>\n";
  if (answer.rows.empty()) {
    body += "<p class=\"empty\">No submissions match.</p>\n";
  } else {
    body +=
        "<table class=\"list\"><thead><tr><th>Received</th><th>Form</th><th>Fields</th>"
        "<th>Status</th><th></th></tr></thead><tbody>\n";
    for (const ArchivedSubmission& s : answer.rows) body += list_row(answer, s);
    body += "</tbody></table>\n";
  }
  body += "<p class=\"paging\">";
  int page = answer.query.page;
  if (page > 1)
    body += "<a rel=\"prev\" href=\"" + list_link(answer, "", page - 1) + "\">Newer</a>";
  body += "<span>Page " + std::to_string(page) + "</span>";
  if (answer.has_next)
    body += "<a rel=\"next\" href=\"" + list_link(answer, "", page + 1) + "\">Older</a>";
  body += "</p>\n";
  write_page(out, answer, "Inbox", body);
}

// A small POST form for the action at `scope`; nothing when it has no token.
std::string action_form(const InboxAnswer& answer, const std::string& scope, const char* label) {
  auto token = answer.tokens.find(scope);
  if (token == answer.tokens.end()) return "";
  return "<form method=\"post\" action=\"" + h(answer.base + "/" + scope) +
         "\"><input type=\"hidden\" name=\"token\" value=\"" + h(token->second) +
         "\"><button type=\"submit\">" + label + "</button></form>\n";
}

// The visitor's own fields, then the control fields the form sent, each in the
// order sent.
std::string fields_list(const ArchivedSubmission& s) {
  std::string own, controls;
  for (const auto& [name, value] : s.fields)
    (is_profile_control_field(name) ? controls : own) +=
        "<dt>" + h(name) + "</dt><dd>" + h(value) + "</dd>\n";
  std::string html = "<dl class=\"fields\">\n" + own + "</dl>\n";
  if (!controls.empty())
    html += "<h2>Form controls</h2>\n<dl class=\"fields controls\">\n" + controls + "</dl>\n";
  return html;
}

std::string uploads_list(const InboxAnswer& answer, const ArchivedSubmission& s) {
  if (s.uploads.empty()) return "";
  std::string html = "<h2>Uploads</h2>\n<ul class=\"uploads\">\n";
  for (std::size_t i = 0; i < s.uploads.size(); ++i) {
    const ArchivedUpload& u = s.uploads[i];
    std::string label =
        h(u.shown_name) + " (" + h(u.content_type) + ", " + std::to_string(u.size) + " bytes)";
    if (u.stored_path.empty())
      html += "<li>" + label + ", not kept</li>\n";
    else
      html += "<li><a href=\"" + h(answer.base) + "/upload/" + platform::percent_encode(s.id) +
              "/" + std::to_string(i + 1) + "\">" + label + "</a></li>\n";
  }
  return html + "</ul>\n";
}

std::string outcomes_table(const ArchivedSubmission& s) {
  std::string html = "<h2>Actions</h2>\n<table class=\"outcomes\">\n";
  for (const ActionOutcome& o : s.outcomes)
    html += "<tr><td>" + iso_time(o.at) + "</td><td>" + h(o.action) + "</td><td class=\"status-" +
            h(o.result) + "\">" + h(o.result) + "</td><td>" +
            h(o.detail == kOldFailureDetail ? std::string(kActionEndedByError) : o.detail) +
            "</td></tr>\n";
  return html + "</table>\n";
}

// The last attempt's time and result and, for a delivery not delivered, what the
// other side answered. A result recorded before replies were kept may point to
// the log, which the inbox's reader cannot see: that pointer is left out.
std::string last_attempt_text(const Delivery& d) {
  const DeliveryAttempt& a = d.attempts.back();
  std::string result = a.result;
  if (std::size_t at = result.find(kOldLogPointer); at != std::string::npos)
    result.erase(at, kOldLogPointer.size());
  std::string text = iso_time(a.at) + " " + result;
  if (d.status != "delivered" && !a.reply.empty()) text += ": " + a.reply;
  return text;
}

std::string deliveries_table(const InboxAnswer& answer, const ArchivedSubmission& s) {
  if (s.deliveries.empty()) return "";
  std::string html =
      "<h2>Deliveries</h2>\n<table class=\"deliveries\"><thead><tr><th>Kind</th><th>To</th>"
      "<th>Status</th><th>Attempts</th><th>Last result</th><th></th></tr></thead><tbody>\n";
  for (const Delivery& d : s.deliveries) {
    std::string last = d.attempts.empty() ? "" : h(last_attempt_text(d));
    std::string retry;
    if (d.status == "pending" || d.status == "failed")
      retry = action_form(answer, action_scope("delivery", d.id, "retry"), "Retry now");
    html += "<tr class=\"delivery\"><td>" + h(d.kind) + "</td><td>" + h(shown_target(d)) +
            "</td><td class=\"status-" + h(d.status) + "\">" + h(d.status) + "</td><td>" +
            std::to_string(d.attempts.size()) + "</td><td>" + last + "</td><td>" + retry +
            "</td></tr>\n";
  }
  return html + "</tbody></table>\n";
}

void write_submission(std::ostream& out, const InboxAnswer& answer) {
  const ArchivedSubmission& s = answer.submission;
  auto form = [&](const char* action, const char* label) {
    return action_form(answer, action_scope("submission", s.id, action), label);
  };
  std::string actions = (s.status == "spam" ? form("release", "Release from spam") : "") +
                        form("resend", "Resend form mail") + form("delete", "Delete");
  std::string body =
      "<h1>Submission " + h(s.id) + "</h1>\n<p class=\"summary\">Received " +
      iso_time(s.received_at) + " &middot; form " +
      h(s.form_profile.empty() ? "-" : s.form_profile) + " &middot; <span class=\"status status-" +
      h(s.status) + "\">" + h(shown_status(s.status)) + "</span> &middot; from " +
      h(s.remote_address) +
      (s.receipt_number.empty() ? "" : " &middot; receipt " + h(s.receipt_number)) + "</p>\n" +
      (actions.empty() ? "" : "<div class=\"actions\">\n" + actions + "</div>\n") + fields_list(s) +
      uploads_list(answer, s) + outcomes_table(s) + deliveries_table(answer, s);
  write_page(out, answer, "Submission " + s.id, body);
}

void write_download(std::ostream& out, const InboxAnswer& answer) {
  write_head(out, 200, answer.content_type);
  out << attachment_disposition(answer.file_name) << "\n\n";
  if (answer.kind == InboxAnswer::Kind::kExport) {
    if (answer.write_export) answer.write_export(out);
    return;
  }
  if (!answer.file) return;
  std::string buffer(kCopyBuffer, '\0');
  while (*answer.file) {
    answer.file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.write(buffer.data(), answer.file->gcount());
  }
}

bool token_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$&-^_.+").find(c) != std::string_view::npos;
}

}  // namespace

std::string download_type(std::string_view stored_type) {
  std::size_t slash = stored_type.find('/');
  bool plain = slash != std::string_view::npos && slash > 0 && slash + 1 < stored_type.size();
  for (std::size_t i = 0; plain && i < stored_type.size(); ++i)
    plain = i == slash || token_character(stored_type[i]);
  return plain ? std::string(stored_type) : "application/octet-stream";
}

std::string attachment_disposition(std::string_view file_name) {
  std::string fallback;
  for (char c : file_name) {
    unsigned char byte = static_cast<unsigned char>(c);
    fallback += (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\' || c == '/') ? '_' : c;
  }
  if (fallback.empty()) fallback = "download";
  return "Content-Disposition: attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" +
         platform::percent_encode(valid_utf8(file_name));
}

void write_inbox_answer(std::ostream& out, const InboxAnswer& answer) {
  switch (answer.kind) {
    case InboxAnswer::Kind::kList:
      return write_list(out, answer);
    case InboxAnswer::Kind::kSubmission:
      return write_submission(out, answer);
    case InboxAnswer::Kind::kUpload:
    case InboxAnswer::Kind::kExport:
      return write_download(out, answer);
    case InboxAnswer::Kind::kStylesheet:
      write_head(out, 200, "text/css; charset=utf-8");
      out << '\n' << kStylesheet;
      return;
    case InboxAnswer::Kind::kRedirect:
      write_head(out, 303, kHtmlType);
      out << "Location: " << answer.location << "\n\n";
      return;
    case InboxAnswer::Kind::kRefused:
      write_page(out, answer, http_status_text(answer.status),
                 "<h1>" + std::string(http_status_text(answer.status)) + "</h1>\n<p>" +
                     h(answer.message) + "</p>\n");
      return;
  }
}
