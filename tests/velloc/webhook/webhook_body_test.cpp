#include "velloc/webhook/webhook_body.h"

#include <gtest/gtest.h>

#include "velloc/request/cgi_request.h"

namespace {

constexpr std::int64_t kTime = 1'765'261'489;  // 2025-12-09T06:24:49Z

CgiRequest request_with(std::initializer_list<std::pair<const char*, const char*>> fields) {
  CgiRequest request;
  for (const auto& [name, value] : fields) request.set_field(name, value);
  return request;
}

TEST(WebhookBody, DocumentOfProfileReceiptTimeAndFields) {
  struct Case {
    CgiRequest request;
    const char* profile;
    std::string expected;
  };
  const Case cases[] = {
      {request_with({{"NAME", "Ann"}}), "",
       R"({"profile": null, "receipt": null, "time": "2025-12-09T06:24:49Z", )"
       R"("fields": {"NAME": "Ann"}})"},
      {request_with({{"SORTORDER", "name,topics,Note,absent,NAME"},
                     {"NAME", "Ann \"A\" <b>"},
                     {"TOPICS", "news, events"},
                     {"NOTE", "line\r\nnext\xFF"},
                     {"RECEIPT_NUMBER", "1042"},
                     {"RECIPIENT", "owner@example.com"}}),
       "contact",
       R"({"profile": "contact", "receipt": "1042", "time": "2025-12-09T06:24:49Z", )"
       R"("fields": {"name": "Ann \"A\" \u003cb\u003e", "topics": "news, events", )"
       R"("Note": "line\r\nnext)"
       "\xEF\xBF\xBD"
       R"(", "absent": ""}})"},
      // The control fields are left out, as the mail's listing leaves them out.
      {request_with({{"SUBJECT", "Hi"}, {"REDIRECT", "https://x.test/"}}), " ",
       R"({"profile": null, "receipt": null, "time": "2025-12-09T06:24:49Z", "fields": {}})"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, webhook_json_body(c.request, c.profile, kTime)) << c.expected;
}

TEST(WebhookBody, UtcTimestamps) {
  EXPECT_EQ("1970-01-01T00:00:00Z", utc_timestamp(0));
  EXPECT_EQ("2025-12-09T06:24:49Z", utc_timestamp(kTime));
  EXPECT_EQ("2038-01-19T03:14:08Z", utc_timestamp(2147483648));
}

}  // namespace
