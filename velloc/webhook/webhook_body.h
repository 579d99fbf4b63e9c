// The body of a webhook call when the site names no WebhookTemplate: one JSON
// object with the form profile, the receipt number, the time and the fields,
//   {"profile": "contact", "receipt": "1042", "time": "2026-12-09T06:24:49Z",
//    "fields": {"NAME": "Ann", "TOPICS": "news, events"}}
// The fields are those the form mail lists, in its order; a name the form sent
// more than once has one value, its values joined by ", " as the mail shows them.
// "profile" and "receipt" are null when the form has none.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct CgiRequest;

inline constexpr char kJsonContentType[] = "application/json";

// `profile`: the name of the run's form profile; empty when none.
std::string webhook_json_body(const CgiRequest& request, std::string_view profile,
                              std::int64_t unix_time);

// "YYYY-MM-DDTHH:MM:SSZ" (UTC) of a Unix time.
std::string utc_timestamp(std::int64_t unix_time);
