#include "velloc/response/json_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Any bytes in, a string literal that is valid UTF-8 and safe in a page out.
TEST(JsonString, EscapesAndReplacesWhatIsNotText) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"\"quoted\" \\ /", R"("\"quoted\" \\ /")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x00\x01\x1f\x7f", 4), R"("\u0000\u0001\u001f\u007f")"},
      {"</script><!-- & -->", R"("\u003c/script\u003e\u003c!-- \u0026 --\u003e")"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u2028\u2029")"},
      // Each byte outside a well-formed sequence becomes U+FFFD.
      {"a\xFF"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},                                                  // cut short
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                                  // overlong
      {"\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // a surrogate
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // > U+10FFFF
      {"\xE2\x82<", "\"\xEF\xBF\xBD\xEF\xBF\xBD\\u003c\""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(expected, json_string(text)) << text;
}

TEST(JsonObject, MembersInTheOrderAdded) {
  EXPECT_EQ("{}", JsonObject().text());
  JsonObject object;
  object.add_bool("ok", false).add_string("a\"", "<").add_json("list", "[1]");
  EXPECT_EQ(R"({"ok": false, "a\"": "\u003c", "list": [1]})", object.text());
}

}  // namespace
