#include "velloc/inbox/inbox_query.h"

#include <optional>

#include "platform/text.h"
#include "velloc/archive/archive_text.h"
#include "velloc/request/cgi_request.h"

namespace {

constexpr int kMaxPage = 1000000;
const char* const kStatuses[] = {"accepted", "spam", "pending", "failed", "awaiting"};

bool known_status(std::string_view status) {
  for (const char* known : kStatuses)
    if (status == known) return true;
  return false;
}

// A day "YYYY-MM-DD" only: its start, or with `day_end` the next day's.
std::int64_t day_bound(std::string_view day, bool day_end) {
  if (day.size() != 10) return 0;
  return parse_iso_time(day, day_end).value_or(0);
}

int page_number(std::string_view text) {
  if (text.empty() || text.size() > 7) return 1;
  int page = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 1;
    page = page * 10 + (c - '0');
  }
  return page < 1 || page > kMaxPage ? 1 : page;
}

void add_pair(std::string& query, std::string_view name, std::string_view value) {
  if (value.empty()) return;
  if (!query.empty()) query += '&';
  query += std::string(name) + "=" + platform::percent_encode(value);
}

}  // namespace

InboxQuery parse_inbox_query(std::string_view query_string) {
  InboxQuery query;
  std::optional<std::string> page;
  for (const std::string& pair : platform::split_at(query_string, "&")) {
    std::size_t equals = pair.find('=');
    std::string name = url_decode(pair.substr(0, equals));
    std::string value = equals == std::string::npos ? "" : url_decode(pair.substr(equals + 1));
    value = std::string(platform::trim(value));
    auto first = [&](std::string& slot) {
      if (slot.empty()) slot = value;
    };
    if (name == "form") first(query.form);
    if (name == "status") first(query.status);
    if (name == "from") first(query.from);
    if (name == "to") first(query.to);
    if (name == "q") first(query.search);
    if (name == "tag") first(query.tag);
    if (name == "page" && !page) page = value;
  }
  query.page = page_number(page.value_or(""));
  query.filter.form_profile = query.form;
  if (known_status(query.status)) query.filter.status = query.status;
  query.filter.since = day_bound(query.from, false);
  query.filter.until = day_bound(query.to, true);
  query.filter.search = query.search;
  query.filter.tag = query.tag;
  return query;
}

std::string inbox_query_string(const InboxQuery& query, int page) {
  std::string text;
  add_pair(text, "form", query.form);
  add_pair(text, "status", query.status);
  add_pair(text, "from", query.from);
  add_pair(text, "to", query.to);
  add_pair(text, "q", query.search);
  add_pair(text, "tag", query.tag);
  if (page > 1) add_pair(text, "page", std::to_string(page));
  return text;
}
