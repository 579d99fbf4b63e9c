#include "velloc/request/page_head.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

CgiRequest request_with(std::string_view data) {
  CgiRequest request;
  parse_form_data(data, ", ", request.fields);
  return request;
}

std::string list(std::string_view data, std::string_view format = "%s:  %s\n",
                 Escape escape = Escape::kNone) {
  std::ostringstream out;
  EXPECT_TRUE(write_field_list(out, request_with(data), format, escape));
  return out.str();
}

TEST(PageHead, StatusLineAndEscapedAttributesInOrder) {
  const std::string kHead = "Content-Type: text/html\n\n<HTML>\n<BODY";
  std::pair<const char*, std::string> cases[] = {
      {"a=1&bgcolor=&fullhead=", kHead + ">\n"},
      {"textcolor=black&fullhead=yes&bgimage=bg.gif&bgcolor=white",
       "HTTP/1.0 200 OK\n" + kHead + " BGCOLOR=\"white\" BACKGROUND=\"bg.gif\" TEXT=\"black\">\n"},
      {"bgcolor=white&textcolor=black", kHead + " BGCOLOR=\"white\" TEXT=\"black\">\n"},
      {"textcolor=x%22%3E%3Cscript%3E", kHead + " TEXT=\"x&quot;&gt;&lt;script&gt;\">\n"}};
  for (const auto& [data, expected] : cases) {
    std::ostringstream out;
    EXPECT_TRUE(write_page_head(out, request_with(data)));
    EXPECT_EQ(expected, out.str()) << data;
  }
}

TEST(FieldList, ControlFieldsAndSortOrder) {
  // Without SORTORDER every field but the eleven control fields comes, in map order (EMAIL 9,
  // NAME 13, A 14, B 15, TEMPLATE_WEB 16). SORTORDER picks and orders the names as it spells
  // them, split at runs of commas and spaces, from its first 1999 characters; a name
  // repeated in any case is listed at its first place only.
  std::pair<std::string, const char*> cases[] = {
      {"name=Ann&email=e@x&BGCOLOR=red&bgimage=i&TextColor=c&FULLHEAD=1&REQUIRED=r&REDIRECT=/"
       "&LINKBACK=/&LINKBACKTEXT=t&subject=s&recipient=r&template_web=t.htm",
       "EMAIL:  e@x\nNAME:  Ann\nTEMPLATE_WEB:  t.htm\n"},
      {"a=&b=", "A:  \nB:  \n"},
      {"a=1&sortorder=", "A:  1\n"},
      {"name=Ann&email=e@x&other=1&sortorder=email%2C+name", "email:  e@x\nname:  Ann\n"},
      {"subject=Hi&sortorder=Subject,,missing++SUBJECT,subject,missing",
       "Subject:  Hi\nmissing:  \n"},
      {"a\tb=1&sortorder=a%09b", "a\tb:  1\n"},
      {"abcd=4&abcdef=6&sortorder=" + std::string(1995, ',') + "abcdef", "abcd:  4\n"},
      {"<i>=a+%26+b", "<I>:  a & b\n"}};
  for (const auto& [data, expected] : cases) EXPECT_EQ(expected, list(data)) << data.substr(0, 60);
}

TEST(FieldList, PageRowsAreEscapedAndFormatsTakeTwoValues) {
  EXPECT_EQ(
      "<TR><TD VALIGN=TOP><B>&lt;I&gt;</B></TD><TD>a &amp; b</TD></TR>\n",
      list("<i>=a+%26+b", "<TR><TD VALIGN=TOP><B>%s</B></TD><TD>%s</TD></TR>\n", Escape::kHtml));
  EXPECT_EQ("100% A=1\n", list("a=1", "100%% %s=%s\n"));
  EXPECT_EQ("A=1 \n", list("a=1", "%s=%s %s\n"));
}

}  // namespace
