#include "velloc/templates/value_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ValueEscape, HtmlAndCsvFormsOfAValue) {
  struct Case {
    std::string value;
    ValueEscape escape;
    std::string expected;
  };
  const Case cases[] = {
      {"<script>'x'&\"y\"", ValueEscape::kNone, "<script>'x'&\"y\""},
      {"<script>'x'&\"y\"", ValueEscape::kHtml, "&lt;script&gt;&#39;x&#39;&amp;&quot;y&quot;"},
      {"Ann", ValueEscape::kCsv, "\"Ann\""},
      {"", ValueEscape::kCsv, "\"\""},
      {"news, events", ValueEscape::kCsv, "\"news, events\""},
      {"say \"hi\"\r\nbye", ValueEscape::kCsv, "\"say \"\"hi\"\"\r\nbye\""},
      {"=HYPERLINK(\"x\")", ValueEscape::kCsv, "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+1", ValueEscape::kCsv, "\"'+1\""},
      {"-2+3", ValueEscape::kCsv, "\"'-2+3\""},
      {"@SUM(A1)", ValueEscape::kCsv, "\"'@SUM(A1)\""},
      {"a=1", ValueEscape::kCsv, "\"a=1\""},
      {"\t=1", ValueEscape::kCsv, "\"'\t=1\""},
      {"\r\n=1", ValueEscape::kCsv, "\"'\r\n=1\""},
      {"\nx", ValueEscape::kCsv, "\"'\nx\""},
      {"|cmd", ValueEscape::kCsv, "\"'|cmd\""},
      {"  =1", ValueEscape::kCsv, "\"'  =1\""},
      {" \xC2\xA0\xE3\x80\x80@x", ValueEscape::kCsv, "\"' \xC2\xA0\xE3\x80\x80@x\""},
      {"\xEF\xBC\x9D"
       "1",
       ValueEscape::kCsv,
       "\"'\xEF\xBC\x9D"
       "1\""},  // fullwidth =
      {"\xEF\xBC\x8B"
       "1",
       ValueEscape::kCsv,
       "\"'\xEF\xBC\x8B"
       "1\""},  // fullwidth +
      {"\xEF\xBC\x8D"
       "1",
       ValueEscape::kCsv,
       "\"'\xEF\xBC\x8D"
       "1\""},                                                     // fullwidth -
      {"\xEF\xBC\xA0x", ValueEscape::kCsv, "\"'\xEF\xBC\xA0x\""},  // fullwidth @
      {"   ", ValueEscape::kCsv, "\"   \""},
      {" Ann", ValueEscape::kCsv, "\" Ann\""},
      {"\xEF\xBC\xA1", ValueEscape::kCsv, "\"\xEF\xBC\xA1\""},  // fullwidth A
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, escape_value(c.value, c.escape)) << c.value;

  EXPECT_EQ(ValueEscape::kHtml, parse_value_escape("html"));
  EXPECT_EQ(ValueEscape::kCsv, parse_value_escape("CSV"));
  EXPECT_EQ(ValueEscape::kNone, parse_value_escape("NONE"));
  EXPECT_EQ(ValueEscape::kNone, parse_value_escape(""));
  EXPECT_EQ(ValueEscape::kNone, parse_value_escape("XML"));
  EXPECT_EQ(ValueEscape::kJson, parse_value_escape("json"));
}

// What a template writes between the quotes of a JSON string: valid JSON text,
// safe inside an HTML page, whatever bytes the visitor sent.
TEST(ValueEscape, JsonFormOfAValue) {
  struct Case {
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {"", ""},
      {"Ann", "Ann"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"C:\\dir", "C:\\\\dir"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {std::string("nul\0x", 5), "nul\\u0000x"},
      {"\x01\x1f\x7f", "\\u0001\\u001f\\u007f"},
      {"</script><b>&amp;", "\\u003c/script\\u003e\\u003cb\\u003e\\u0026amp;"},
      {"Gr\xC3\xBC\xC3\x9F\xE2\x82\xAC \xF0\x9F\x98\x80",
       "Gr\xC3\xBC\xC3\x9F\xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"bad\xFF"
       "byte",
       "bad\xEF\xBF\xBD"
       "byte"},
      {"cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong\xC0\xAF", "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate\xED\xA0\x80", "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"line\xE2\x80\xA8sep", "line\\u2028sep"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, escape_value(c.value, ValueEscape::kJson));
}

}  // namespace
