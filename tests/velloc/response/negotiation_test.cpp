#include "velloc/response/negotiation.h"

#include <gtest/gtest.h>

namespace {

constexpr AnswerFormat kHtml = AnswerFormat::kHtml;
constexpr AnswerFormat kJson = AnswerFormat::kJson;

// Accept, Content-Type and the Response setting, and the format they choose.
TEST(Negotiation, JsonOnlyWhenAskedFor) {
  struct Case {
    const char* accept;
    const char* content_type;
    const char* response;
    AnswerFormat expected;
  };
  const Case cases[] = {
      {"", "application/x-www-form-urlencoded", "", kHtml},
      {"*/*", "", "", kHtml},
      {"application/json", "", "", kJson},
      {"Application/JSON", "", "", kJson},
      {"application/*", "", "", kJson},
      {"text/*", "", "", kHtml},
      {"text/html, application/json", "", "", kHtml},  // a tie
      {"application/json, text/html;q=0.9", "", "", kJson},
      {"text/html;q=0.5, application/json;q=0.500", "", "", kHtml},
      {"application/json;q=0.8, */*;q=0.9", "", "", kHtml},
      {"application/json, */*;q=0.1", "", "", kJson},
      {"application/json;q=0, */*", "", "", kHtml},  // q=0: not acceptable
      {"text/html;q=0, */*", "", "", kJson},
      {"application/json;q=0.9, application/*;q=0.1, text/*;q=0.5", "", "", kJson},
      {"application/*;q=0.4, text/html;q=0.3", "", "", kJson},
      {"application/json;charset=utf-8;q=1.0", "", "", kJson},
      {"application/json ; Q=0.2 , text/html;q=0.1", "", "", kJson},
      {"application/json;q=2", "", "", kHtml},  // malformed q: the range counts for nothing
      {"application/json;q=1.5", "", "", kHtml},
      {"application/json;q=.5", "", "", kHtml},
      {"application/jsonx, json, /, application/", "", "", kHtml},
      {"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", "", "", kHtml},
      {",,;,application/json;;", "", "", kJson},
      {"", "application/json", "", kJson},
      {"text/html", "application/json; charset=utf-8", "", kJson},
      {"", "multipart/form-data; boundary=x", "json", kJson},
      {"", "", " JSON ", kJson},
      {"", "", "html", kHtml},
      {"", "", "jsonp", kHtml},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, choose_answer_format(c.accept, c.content_type, c.response))
        << c.accept << " | " << c.content_type << " | " << c.response;
}

}  // namespace
