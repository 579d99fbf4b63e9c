#include "velloc/webhook/webhook_body.h"

#include <ctime>

#include "platform/text.h"
#include "velloc/request/cgi_request.h"
#include "velloc/request/page_head.h"
#include "velloc/response/json_writer.h"

namespace {

// The text as a JSON string, or null when it is blank.
std::string string_or_null(std::string_view text) {
  std::string_view value = platform::trim(text);
  return value.empty() ? "null" : json_string(value);
}

}  // namespace

std::string utc_timestamp(std::int64_t unix_time) {
  std::time_t time = static_cast<std::time_t>(unix_time);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string webhook_json_body(const CgiRequest& request, std::string_view profile,
                              std::int64_t unix_time) {
  JsonObject fields;
  for_each_listed_field(request, [&](std::string_view name, std::string_view value) {
    fields.add_string(name, value);
  });
  JsonObject body;
  body.add_json("profile", string_or_null(profile));
  body.add_json("receipt", string_or_null(request.field_text("RECEIPT_NUMBER")));
  body.add_string("time", utc_timestamp(unix_time));
  body.add_json("fields", fields.text());
  return body.text();
}
