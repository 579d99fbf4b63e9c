#include "velloc/request/cgi_request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// "NAME=value" pairs of a map in listing order.
Lines listing(const TextMap& map) {
  Lines lines;
  map.for_each([&](const std::string& name, const std::string& value) {
    lines.push_back(name + "=" + value);
  });
  return lines;
}

CgiRequest init(std::vector<std::string> environment, const std::string& body = "") {
  std::vector<const char*> block;
  for (const std::string& entry : environment) block.push_back(entry.c_str());
  block.push_back(nullptr);
  std::istringstream input(body);
  CgiRequest request;
  init_request(request, block.data(), input, ", ");
  return request;
}

TEST(UrlDecode, DecodesPlusAndEscapesByTheSumRuleWithinTheText) {
  // 'Z' counts 90 - 55 = 35: (16 * 35 + 35) % 256 = 83, 'S'.
  // clang-format off
  std::pair<std::string, std::string> cases[] = {
      {"%41%62", "Ab"}, {"a+b", "a b"}, {"%2B", "+"}, {"5%25", "5%"}, {"%e9", "\xE9"},
      {"%G0", std::string(1, '\0')}, {"x%00y", std::string("x\0y", 3)}, {"%ZZ", "S"},
      {"%", "%"}, {"a%4", "a%4"}};
  // clang-format on
  for (const auto& [text, expected] : cases) EXPECT_EQ(expected, url_decode(text)) << text;
  std::string backing = "%41";
  EXPECT_EQ("%4", url_decode(std::string_view(backing).substr(0, 2)));
}

TEST(ParseFormData, NamesValuesAndSeparatorsInListingOrder) {
  // Buckets: X and NOTE 3 (X newer), AMOUNT 7, COLOUR 12, NAME 13; F 2, H 4; "\xE9A" is in
  // bucket 4 only when bytes count signed; R and A share 14, R arrived later.
  // clang-format off
  std::pair<const char*, Lines> cases[] = {
      {"name=John+Smith&amount=5%25&colour=red&colour=blue&note=&x=1",
       {"X=1", "NOTE=", "AMOUNT=5%", "COLOUR=red, blue", "NAME=John Smith"}},
      {"\xE9" "a=1&a=5&h=2&f=3&r=4", {"F=3", "H=2", "\xE9" "A=1", "R=4", "A=5"}},
      {"first+name=x&a%41=y", {"A%41=y", "FIRST+NAME=x"}},
      {"email=A&EMAIL=B", {"EMAIL=A, B"}}, {"a=1&a=", {"A=1, "}}, {"a=&a=2", {"A=2"}},
      {"a=&b=2", {"A=", "B=2"}}, {"a=x=y&b=2", {"A=x=y", "B=2"}}, {"a=1&flag", {"FLAG=", "A=1"}},
      {"a=1&flag&f=", {"FLAG&F=", "A=1"}}, {"a=1&&b=2", {"&B=2", "A=1"}},
      {"==a=1&=", {"A=1"}}, {"", {}}, {"===", {}}};
  // clang-format on
  for (const auto& [data, fields] : cases) {
    FieldMap map;
    parse_form_data(data, ", ", map);
    EXPECT_EQ(fields, listing(map)) << data;
  }
  TextMap map;  // storing again keeps the place
  map.set("note", "1");
  map.set("x", "2");
  map.set("NOTE", "3");
  EXPECT_EQ((Lines{"X=2", "NOTE=3"}), listing(map));
}

TEST(CgiRequest, LookupsIgnoreCaseAndNeverInsert) {
  CgiRequest request = init({"QUERY_STRING=email=a%40b&empty="});
  EXPECT_EQ("a@b", request.get_field("Email"));
  EXPECT_TRUE(request.field_is_set("EMAIL"));
  EXPECT_TRUE(request.field_is_blank("empty"));
  EXPECT_TRUE(request.field_is_blank("absent"));
  EXPECT_EQ("", request.get_env("absent"));
  EXPECT_EQ(2u, request.fields.size());
}

TEST(InitRequest, PostParsesTheBodyAndShowsItAsQueryString) {
  CgiRequest request =
      init({"CONTENT_LENGTH=7", "QUERY_STRING=url=1", "request_method=POST"}, "a=1&b=2tail");
  EXPECT_EQ("a=1&b=2", request.get_env("QUERY_STRING"));
  EXPECT_EQ("a=1&b=2", request.get_env("QUERY_STRING_UNESCAPED"));
  EXPECT_EQ(7, request.body_length);
  EXPECT_EQ((Lines{"A=1", "B=2"}), listing(request.fields));
  EXPECT_THROW(init({"CONTENT_LENGTH=3000000000"}, "a=1"), std::exception);
  EXPECT_THROW(init({"CONTENT_LENGTH=  +2147483647"}, "a=1"), std::exception);
}

TEST(InitRequest, WithoutABodyTheQueryStringIsTheForm) {
  for (const char* length : {"CONTENT_LENGTH=0", "CONTENT_LENGTH=-5", "CONTENT_LENGTH=abc"}) {
    CgiRequest request = init({length, "QUERY_STRING=a=x+y"}, "b=2");
    EXPECT_EQ("5", request.get_env("CONTENT_LENGTH")) << length;
    EXPECT_EQ(5, request.body_length) << length;
    EXPECT_EQ((Lines{"A=x y"}), listing(request.fields)) << length;
    EXPECT_EQ("a=x y", request.get_env("QUERY_STRING_UNESCAPED")) << length;
  }
  CgiRequest empty = init({"QUERY_STRING_UNESCAPED=kept"});
  EXPECT_EQ("0", empty.get_env("CONTENT_LENGTH"));
  EXPECT_EQ("kept", empty.get_env("QUERY_STRING_UNESCAPED"));
}

TEST(InitRequest, EnvironmentEntries) {
  CgiRequest request =
      init({"path=/bin", "PATH=/usr/bin", "==odd=v", "TICK=a`b", "NOEQUALS", "EMPTY="});
  EXPECT_EQ("/usr/bin", request.get_env("Path"));
  EXPECT_EQ("v", request.get_env("ODD"));
  EXPECT_EQ("a", request.get_env("TICK"));
  EXPECT_EQ("", request.get_env("EMPTY"));
  EXPECT_EQ(16383u - 5, init({"LONG=" + std::string(20000, 'v')}).get_env("LONG").size());
}

TEST(InitRequest, ManyFieldsDecodeInLinearTime) {
  std::string body;
  for (int i = 0; i < 100000; ++i) body += "field" + std::to_string(i) + "=v&same=0123456789&";
  auto start = std::chrono::steady_clock::now();
  CgiRequest request = init({"CONTENT_LENGTH=" + std::to_string(body.size())}, body);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(100001u, request.fields.size());
  EXPECT_EQ(100000u * 12 - 2, request.get_field("SAME").size());
}

TEST(CgiHeaders, ExactBytesAndNoLineBreaksInTheLocation) {
  std::ostringstream out;
  write_content_type(out, "text/html");
  write_redirect(out, "http://example.com/x\r\nSet-Cookie: y");
  EXPECT_EQ("Content-type: text/html\n\nLocation: http://example.com/xSet-Cookie: y\n\n",
            out.str());
}

TEST(InitRequest, AValueEndsAtItsFirstNul) {
  CgiRequest get = init({"QUERY_STRING=recipient=owner@x.test%00,h1@evil.test&b%00c=2"});
  EXPECT_EQ("owner@x.test", get.get_field("RECIPIENT"));
  EXPECT_EQ("2", get.get_field("B%00C"));
  EXPECT_EQ("recipient=owner@x.test", get.get_env("QUERY_STRING_UNESCAPED"));
  const std::string body("a=x\0y&n\0ame=2&c=%00", 20);
  CgiRequest post = init({"CONTENT_LENGTH=20"}, body);
  EXPECT_EQ("x", post.get_field("A"));
  EXPECT_EQ("2", post.get_field("N"));
  EXPECT_TRUE(post.field_is_blank("C"));
  EXPECT_EQ(3u, post.fields.size());
  EXPECT_EQ(body, post.get_env("QUERY_STRING"));  // the form data as sent
}

TEST(InitRequest, ABodyCutShortIsRefusedWhateverItsType) {
  const std::string multipart =
      "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--b--\r\n";
  struct Case {
    std::string content_type;
    std::string body;
    std::size_t announced;
    std::string refusal;  // empty: accepted
  };
  const Case cases[] = {
      {"application/x-www-form-urlencoded", "a=1", 3, ""},
      {"application/x-www-form-urlencoded", "a=1", 1000, "request body ends after 3 of 1000 bytes"},
      {"application/x-www-form-urlencoded", "", 1, "request body ends after 0 of 1 bytes"},
      {"application/json", "{\"a\":1}", 7, ""},
      {"application/json", "{\"a\":1}", 8, "request body ends after 7 of 8 bytes"},
      {"multipart/form-data; boundary=b", multipart, multipart.size(), ""},
      {"multipart/form-data; boundary=b", multipart, multipart.size() + 1,
       "request body ends after " + std::to_string(multipart.size()) + " of " +
           std::to_string(multipart.size() + 1) + " bytes"},
      {"multipart/form-data; boundary=b", multipart.substr(0, 20), multipart.size(),
       "request body ends after 20 of " + std::to_string(multipart.size()) + " bytes"},
  };
  for (const Case& c : cases) {
    std::string refusal;
    try {
      CgiRequest request = init({"REQUEST_METHOD=POST", "CONTENT_TYPE=" + c.content_type,
                                 "CONTENT_LENGTH=" + std::to_string(c.announced)},
                                c.body);
      EXPECT_EQ("1", request.get_field("a")) << c.content_type;
    } catch (const MalformedRequest& error) {
      refusal = error.what();
    }
    EXPECT_EQ(c.refusal, refusal) << c.content_type << " " << c.announced;
  }
}

TEST(InitRequest, LimitsEndTheRequestAndNameTheLimit) {
  const RequestLimits limits{2048, 3};
  struct Case {
    std::vector<std::string> environment;
    std::string body;
    std::string refusal;  // empty: accepted
  };
  const Case cases[] = {
      {{"CONTENT_LENGTH=2048"}, "a=1&b=2&c=" + std::string(2038, 'x'), ""},
      {{"CONTENT_LENGTH=2049"}, "a=1", "request of 2049 bytes exceeds MaxRequestSize (2048)"},
      {{"QUERY_STRING=a=" + std::string(2047, 'x')}, "", "MaxRequestSize (2048)"},
      {{"QUERY_STRING=a=1&a=2&a=3&a=4"}, "", "request has more than MaxFields (3) fields"},
      {{"CONTENT_LENGTH=9"}, "a&b&c&d=4", ""},  // one name: "A&B&C&D"
  };
  for (const Case& c : cases) {
    std::vector<const char*> block;
    for (const std::string& entry : c.environment) block.push_back(entry.c_str());
    block.push_back(nullptr);
    std::istringstream input(c.body);
    CgiRequest request;
    try {
      init_request(request, block.data(), input, ", ", limits);
      EXPECT_EQ("", c.refusal) << c.environment.front();
    } catch (const RequestLimitExceeded& refusal) {
      EXPECT_NE(std::string::npos, std::string(refusal.what()).find(c.refusal)) << refusal.what();
      EXPECT_NE("", c.refusal) << refusal.what();
      bool refused_for_size = c.refusal.find("MaxRequestSize") != std::string::npos;
      if (refused_for_size && !c.body.empty()) {
        EXPECT_EQ(0, input.tellg());  // refused before the body was read
      }
    }
  }
}
}  // namespace
