#include "velloc/request/json_body.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "velloc/request/cgi_request.h"

namespace {

using Lines = std::vector<std::string>;

Lines listing(const FieldMap& map) {
  Lines lines;
  map.for_each([&](const std::string& name, const std::string& value) {
    lines.push_back(name + "=" + value);
  });
  return lines;
}

// The body decoded whole (chunk 0) or fed in chunks of `chunk` bytes: the fields'
// listing, or the text of what was thrown, prefixed by its kind.
struct Decoded {
  Lines fields;
  std::string error;
};

Decoded decode(std::string_view body, std::size_t chunk, const RequestLimits& limits = {}) {
  FieldMap fields;
  FieldAdder adder(fields, ", ", limits);
  Decoded decoded;
  try {
    if (chunk == 0) {
      decode_json_body(body, adder);
    } else {
      JsonBodyDecoder decoder(adder);
      for (std::size_t at = 0; at < body.size(); at += chunk) decoder.feed(body.substr(at, chunk));
      decoder.finish();
    }
    decoded.fields = listing(fields);
  } catch (const MalformedRequest& error) {
    decoded.error = std::string("malformed: ") + error.what();
  } catch (const RequestLimitExceeded& error) {
    decoded.error = std::string("limit: ") + error.what();
  }
  return decoded;
}

constexpr std::size_t kChunkSizes[] = {0, 1, 7};

// Each JSON body gives exactly the fields, in the listing order, of the form data
// beside it: the same adder joins, counts and cuts at NUL. (Form data names are
// taken as sent, JSON names as decoded.)
TEST(JsonBody, MembersBecomeTheFieldsTheSameFormDataGives) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"name":"John Smith","amount":5})", "name=John+Smith&amount=5"},
      {R"({"n":1.50,"e":-2E+3,"big":123456789012345678901234567890})",
       "n=1.50&e=-2E%2B3&big=123456789012345678901234567890"},
      {R"({"t":true,"f":false,"z":null})", "t=true&f=false&z="},
      // Beyond a double's range, kept as sent all the same; "1e3" in a string is no number.
      {R"({"h":1e309,"n":[-1E+400,0.5e-999],"s":"1e3 \"-2"})",
       "h=1e309&n=-1E%2B400&n=0.5e-999&s=1e3+%22-2"},
      {"{\"d\":" + std::string(400, '9') + ".25}", "d=" + std::string(400, '9') + ".25"},
      {R"({"c":["red","blue",3,true,null],"d":[]})", "c=red&c=blue&c=3&c=true&c=&d="},
      {R"({"a":"1","A":"2","a":["3"],"x":1,"note":2})", "a=1&A=2&a=3&x=1&note=2"},
      {R"({"a\u0000b":"x\u0000y","c":"\u0000"})", std::string("a\0b=x%00y&c=%00", 15)},
      {R"({"\u00e9":"\u00e9\n\"\\\/","s":"\ud83d\ude00 ok"})",
       "\xC3\xA9=%C3%A9%0A%22%5C/&s=%F0%9F%98%80+ok"},
      {" \t\r\n{ \"a\" : \"1\" , \"b\":[ ] }\n ", "a=1&b="},
      {"{}", ""},
  };
  for (const auto& [json, form] : cases) {
    FieldMap expected;
    parse_form_data(form, ", ", expected);
    for (std::size_t chunk : kChunkSizes) {
      Decoded decoded = decode(json, chunk);
      EXPECT_EQ("", decoded.error) << json << " chunk " << chunk;
      EXPECT_EQ(listing(expected), decoded.fields) << json << " chunk " << chunk;
    }
  }
}

// Every refusal names what was wrong and where, at the first byte that shows it,
// whether the body comes whole or in pieces.
TEST(JsonBody, RefusalsSayWhyAndWhere) {
  const std::string deep_in_member =
      R"({"a":)" + std::string(33, '[') + "1" + std::string(33, ']') + "}";
  const std::string deep_at_top(100000, '[');
  const std::pair<std::string, std::string> cases[] = {
      {"[]", "JSON body at offset 0: the top level is not an object"},
      {R"("text")", "JSON body at offset 6: the top level is not an object"},
      {deep_at_top, "JSON body at offset 0: the top level is not an object"},
      {R"({"a":{"b":1}})",
       "JSON body at offset 5: field \"a\" holds an object; a value is a string, number, "
       "boolean, null or an array of those"},
      {R"({"list":[1,{"b":1}]})",
       "JSON body at offset 11: field \"list\" holds an object; a "
       "value is a string, number, boolean, null or an array of those"},
      {R"({"a":[1,[2]]})", "JSON body at offset 8: field \"a\" holds an array inside an array"},
      {deep_in_member, "JSON body at offset 6: field \"a\" holds an array inside an array"},
      {"{\"a\\nb\\u0001\":[[]]}",
       "JSON body at offset 15: field \"a?b?\" holds an array inside an array"},
      {"{\"" + std::string(70, 'n') + "\":[[]]}", "JSON body at offset 75: field \"" +
                                                      std::string(64, 'n') +
                                                      "\" holds an array inside an array"},
      {"{\"a\":\"\xC3(\"}", "JSON body at offset 6: invalid UTF-8"},
      {"{\"a\":\"\xC0\xAF\"}", "JSON body at offset 6: invalid UTF-8"},
      {"{\"a\":\"ok\xED\xA0\x80\"}", "JSON body at offset 8: invalid UTF-8"},
      {"{\"\xFF\":1}", "JSON body at offset 2: invalid UTF-8"},
      {R"({"a":"\udc00"})",
       "JSON body at offset 13: a string holds a \\u escape of an unpaired surrogate"},
      {R"({"\udfff":1})",
       "JSON body at offset 9: a string holds a \\u escape of an unpaired surrogate"},
      {R"({"a":"\ud800"})", "JSON body at offset 6: The surrogate pair in string is invalid."},
      {R"({"a":1,})", "JSON body at offset 7: Missing a name for object member."},
      {R"({"a":[1,]})", "JSON body at offset 8: Invalid value."},
      {R"({"a":1}x)",
       "JSON body at offset 7: The document root must not be followed by other "
       "values."},
      {R"({/*c*/"a":1})", "JSON body at offset 1: Missing a name for object member."},
      {R"({'a':1})", "JSON body at offset 1: Missing a name for object member."},
      {R"({"a":01})", "JSON body at offset 6: Missing a comma or '}' after an object member."},
      {R"({"a":NaN})", "JSON body at offset 5: Invalid value."},
      {R"({"a":1.})", "JSON body at offset 7: Miss fraction part in number."},
      {R"({"a":1e+})", "JSON body at offset 8: Miss exponent in number."},
      {R"({"a":-})", "JSON body at offset 6: Invalid value."},
      {R"({"a":--1e309})", "JSON body at offset 6: Invalid value."},
      {R"({"a":-9.e309})", "JSON body at offset 8: Miss fraction part in number."},
      {R"({"a":1e309x})", "JSON body at offset 10: Missing a comma or '}' after an object member."},
      {R"({"a":"\"",1:2})", "JSON body at offset 10: Missing a name for object member."},
      {"{\"a\":\"\x01\"}", "JSON body at offset 6: Invalid escape character in string."},
      {R"({"a":"x)", "JSON body at offset 7: Missing a closing quotation mark in string."},
      {R"({"a":1)", "JSON body at offset 6: Missing a comma or '}' after an object member."},
      {"", "JSON body at offset 0: The document is empty."},
      {std::string("{\"a\":1}\0", 8), "JSON body at offset 7: a NUL byte"},
      {std::string("{\"a\":\0}", 7), "JSON body at offset 5: a NUL byte"},
      {std::string("\0{}", 3), "JSON body at offset 0: a NUL byte"},
      {std::string("{\"a\":[[\0", 8),
       "JSON body at offset 6: field \"a\" holds an array "
       "inside an array"},
  };
  for (const auto& [json, error] : cases) {
    for (std::size_t chunk : kChunkSizes) {
      Decoded decoded = decode(json, chunk);
      EXPECT_EQ("malformed: " + error, decoded.error) << json.substr(0, 80) << " chunk " << chunk;
      EXPECT_EQ(Lines(), decoded.fields);
    }
  }
}

// MaxRequestSize counts the body's bytes; MaxFields counts values, each array
// element one, as repeated names are counted.
TEST(JsonBody, LimitsHoldAsForFormData) {
  const RequestLimits limits{30, 3};
  struct Case {
    std::string json;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {R"({"a":"1234567890123456789012"})", ""},  // 30 bytes
      {R"({"a":"12345678901234567890123"})", "limit: JSON body exceeds MaxRequestSize (30)"},
      {R"({"a":[1,2],"b":3})", ""},
      {R"({"a":[1,2,3],"b":4})", "limit: request has more than MaxFields (3) fields"},
      {R"({"a":[],"b":[],"c":[],"d":1})", "limit: request has more than MaxFields (3) fields"},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : kChunkSizes)
      EXPECT_EQ(c.error, decode(c.json, chunk, limits).error) << c.json << " chunk " << chunk;
  }
}

CgiRequest post(const std::string& content_type, const std::string& body,
                const RequestLimits& limits = {}) {
  std::string length = "CONTENT_LENGTH=" + std::to_string(body.size());
  std::string type = "CONTENT_TYPE=" + content_type;
  const char* environment[] = {length.c_str(), type.c_str(), "QUERY_STRING=q=1", nullptr};
  std::istringstream input(body);
  CgiRequest request;
  init_request(request, environment, input, ", ", limits);
  return request;
}

TEST(InitRequest, AJsonPostBecomesTheFieldsAndIsNotKept) {
  for (const char* type : {"application/json", "Application/JSON; charset=UTF-8"}) {
    CgiRequest request = post(type, R"({"email":"a@b.test","colour":["red","blue"]})");
    EXPECT_EQ((Lines{"EMAIL=a@b.test", "COLOUR=red, blue"}), listing(request.fields)) << type;
    EXPECT_EQ("", request.get_env("QUERY_STRING"));
    EXPECT_EQ(nullptr, request.environment.find("QUERY_STRING_UNESCAPED"));
  }
  EXPECT_EQ("{\"a\":1}", post("text/plain", "{\"a\":1}").get_env("QUERY_STRING"));
  EXPECT_THROW(post("application/json", "{\"a\":{}}"), MalformedRequest);
  EXPECT_THROW(post("application/json", "{\"a\":1}", {6, 10}), RequestLimitExceeded);
}

}  // namespace
