#include "velloc/cgi_request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace {

// "NAME=value" pairs of a map in listing order.
std::vector<std::string> listing(const TextMap& map) {
  std::vector<std::string> lines;
  map.for_each([&](const std::string& name, const std::string& value) {
    lines.push_back(name + "=" + value);
  });
  return lines;
}

FieldMap parse(std::string_view data) {
  FieldMap fields;
  parse_form_data(data, ", ", fields);
  return fields;
}

CgiRequest init(std::vector<std::string> environment,
                const std::string& body = "") {
  std::vector<const char*> block;
  for (const std::string& entry : environment) block.push_back(entry.c_str());
  block.push_back(nullptr);
  std::istringstream input(body);
  CgiRequest request;
  init_request(request, block.data(), input, ", ");
  return request;
}

TEST(UrlDecode, DecodesPlusAndEscapesByTheSumRule) {
  EXPECT_EQ("Ab", url_decode("%41%62"));
  EXPECT_EQ("a b", url_decode("a+b"));
  EXPECT_EQ("+", url_decode("%2B"));
  EXPECT_EQ("5%", url_decode("5%25"));
  EXPECT_EQ(std::string(1, '\0'), url_decode("%G0"));
  EXPECT_EQ(std::string("x\0y", 3), url_decode("x%00y"));
  EXPECT_EQ("\xE9", url_decode("%e9"));
  // 'Z' counts 90 - 55 = 35: 16 * 35 + 35 = 595, modulo 256 = 83 ('S').
  EXPECT_EQ("S", url_decode("%ZZ"));
}

TEST(UrlDecode, ShortEscapeAtTheEndIsKeptAndNothingIsReadBeyond) {
  EXPECT_EQ("%", url_decode("%"));
  EXPECT_EQ("a%4", url_decode("a%4"));
  std::string backing = "%41";
  EXPECT_EQ("%4", url_decode(std::string_view(backing).substr(0, 2)));
}

TEST(ParseFormData, WorkedExample) {
  FieldMap fields =
      parse("name=John+Smith&amount=5%25&colour=red&colour=blue&note=&x=1");
  // Buckets: X and NOTE 3 (X newer), AMOUNT 7, COLOUR 12, NAME 13.
  EXPECT_EQ((std::vector<std::string>{"X=1", "NOTE=", "AMOUNT=5%",
                                      "COLOUR=red, blue", "NAME=John Smith"}),
            listing(fields));
}

TEST(ParseFormData, NamesAreUpperCasedButNotDecoded) {
  FieldMap fields = parse("first+name=x&a%41=y");
  EXPECT_EQ((std::vector<std::string>{"A%41=y", "FIRST+NAME=x"}),
            listing(fields));
}

TEST(ParseFormData, RepeatedNamesJoinWithTheSeparator) {
  EXPECT_EQ("A, B", *parse("email=A&EMAIL=B").find("email"));
  EXPECT_EQ("1, ", *parse("a=1&a=").find("A"));
  EXPECT_EQ("2", *parse("a=&a=2").find("A"));
}

TEST(ParseFormData, SeparatorEdgeCases) {
  EXPECT_EQ((std::vector<std::string>{"A=", "B=2"}), listing(parse("a=&b=2")));
  EXPECT_EQ((std::vector<std::string>{"A=x=y", "B=2"}),
            listing(parse("a=x=y&b=2")));
  EXPECT_EQ("", *parse("a=1&flag").find("FLAG"));
  EXPECT_EQ("", *parse("a=1&flag&f=").find("FLAG&F"));
  EXPECT_EQ((std::vector<std::string>{"&B=2", "A=1"}),
            listing(parse("a=1&&b=2")));
  EXPECT_EQ((std::vector<std::string>{"A=1"}), listing(parse("==a=1&=")));
  EXPECT_TRUE(listing(parse("")).empty());
  EXPECT_TRUE(listing(parse("===")).empty());
}

TEST(TextMap, ListsBucketsInOrderNewestFirstWithSignedBytes) {
  // F is bucket 2, H bucket 4; "\xE9A" is bucket 4 only when bytes count
  // signed.
  FieldMap fields = parse(
      "\xE9"
      "a=1&a=5&h=2&f=3&r=4");
  // R and A share bucket 14: R arrived later and is listed first.
  EXPECT_EQ((std::vector<std::string>{"F=3", "H=2",
                                      "\xE9"
                                      "A=1",
                                      "R=4", "A=5"}),
            listing(fields));
}

TEST(TextMap, StoringAgainKeepsThePlaceAndLookupsIgnoreCase) {
  TextMap map;
  map.set("note", "1");
  map.set("x", "2");
  map.set("NOTE", "3");
  EXPECT_EQ((std::vector<std::string>{"X=2", "NOTE=3"}), listing(map));
  ASSERT_NE(nullptr, map.find("Note"));
  EXPECT_EQ("3", *map.find("nOTE"));
  EXPECT_EQ(nullptr, map.find("missing"));
  EXPECT_EQ(2u, map.size());
}

TEST(CgiRequest, LookupsNeverInsert) {
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
      init({"CONTENT_LENGTH=7", "QUERY_STRING=url=1", "request_method=POST"},
           "a=1&b=2tail");
  EXPECT_EQ("a=1&b=2", request.get_env("QUERY_STRING"));
  EXPECT_EQ("a=1&b=2", request.get_env("QUERY_STRING_UNESCAPED"));
  EXPECT_EQ("POST", request.get_env("REQUEST_METHOD"));
  EXPECT_EQ(7, request.body_length);
  EXPECT_EQ("", request.get_field("URL"));
  EXPECT_EQ("2", request.get_field("B"));
}

TEST(InitRequest, GetAndEmptyPostUseTheQueryString) {
  for (const char* length :
       {"CONTENT_LENGTH=0", "CONTENT_LENGTH=-5", "CONTENT_LENGTH=abc"}) {
    CgiRequest request = init({length, "QUERY_STRING=a=x+y"}, "b=2");
    EXPECT_EQ("5", request.get_env("CONTENT_LENGTH")) << length;
    EXPECT_EQ(5, request.body_length);
    EXPECT_EQ("x y", request.get_field("A"));
    EXPECT_EQ("a=x y", request.get_env("QUERY_STRING_UNESCAPED"));
  }
  CgiRequest empty = init({"QUERY_STRING_UNESCAPED=kept"});
  EXPECT_EQ("0", empty.get_env("CONTENT_LENGTH"));
  EXPECT_EQ("kept", empty.get_env("QUERY_STRING_UNESCAPED"));
}

TEST(InitRequest, ShortBodyIsWhatArrived) {
  CgiRequest request = init({"CONTENT_LENGTH=1000"}, "a=1");
  EXPECT_EQ("a=1", request.get_env("QUERY_STRING"));
  EXPECT_EQ("1", request.get_field("a"));
}

TEST(InitRequest, HugeBodyLengthThrowsBeforeAllocating) {
  EXPECT_THROW(init({"CONTENT_LENGTH=3000000000"}, "a=1"), std::exception);
  EXPECT_THROW(init({"CONTENT_LENGTH=  +2147483647"}, "a=1"), std::exception);
}

TEST(InitRequest, EnvironmentEntries) {
  CgiRequest request = init({"path=/bin", "PATH=/usr/bin", "==odd=v",
                             "TICK=a`b", "NOEQUALS", "EMPTY="});
  EXPECT_EQ("/usr/bin", request.get_env("Path"));
  EXPECT_EQ("v", request.get_env("ODD"));
  EXPECT_EQ("a", request.get_env("TICK"));
  EXPECT_EQ("", request.get_env("EMPTY"));
  std::string long_entry = "LONG=" + std::string(20000, 'v');
  EXPECT_EQ(16383u - 5, init({long_entry}).get_env("LONG").size());
}

TEST(InitRequest, ManyFieldsDecodeInLinearTime) {
  std::string body;
  for (int i = 0; i < 100000; ++i)
    body += "field" + std::to_string(i) + "=v&same=0123456789&";
  auto start = std::chrono::steady_clock::now();
  CgiRequest request =
      init({"CONTENT_LENGTH=" + std::to_string(body.size())}, body);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(100001u, request.fields.size());
  EXPECT_EQ(100000u * 12 - 2, request.get_field("SAME").size());
  EXPECT_LT(elapsed,
            std::chrono::seconds(10));  // copying on every join: ~60 GB
}

TEST(CgiHeaders, ExactBytes) {
  std::ostringstream out;
  write_content_type(out, "text/html");
  write_redirect(out, "http://example.com/x\r\nSet-Cookie: y");
  EXPECT_EQ(
      "Content-type: text/html\n\nLocation: http://example.com/xSet-Cookie: "
      "y\n\n",
      out.str());
}

}  // namespace
