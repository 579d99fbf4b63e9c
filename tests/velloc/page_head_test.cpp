#include "velloc/page_head.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

CgiRequest request_with(std::string_view data) {
  CgiRequest request;
  parse_form_data(data, ", ", request.fields);
  return request;
}

TEST(PageHead, StatusLineAndEscapedAttributesInOrder) {
  std::pair<const char*, std::string> cases[] = {
      {"a=1&bgcolor=&fullhead=", "Content-Type: text/html\n\n<HTML>\n<BODY>\n"},
      {"textcolor=black&fullhead=yes&bgimage=bg.gif&bgcolor=white",
       "HTTP/1.0 200 OK\nContent-Type: text/html\n\n<HTML>\n"
       "<BODY BGCOLOR=\"white\" BACKGROUND=\"bg.gif\" TEXT=\"black\">\n"},
      {"bgcolor=white&textcolor=black",
       "Content-Type: text/html\n\n<HTML>\n<BODY BGCOLOR=\"white\" TEXT=\"black\">\n"},
      {"textcolor=x%22%3E%3Cscript%3E",
       "Content-Type: text/html\n\n<HTML>\n<BODY TEXT=\"x&quot;&gt;&lt;script&gt;\">\n"},
  };
  for (const auto& [data, expected] : cases) {
    std::ostringstream out;
    EXPECT_TRUE(write_page_head(out, request_with(data)));
    EXPECT_EQ(expected, out.str()) << data;
  }
}

TEST(FieldList, ControlFieldsSortOrderAndEscaping) {
  constexpr char kRow[] = "<TR><TD VALIGN=TOP><B>%s</B></TD><TD>%s</TD></TR>\n";
  constexpr char kMail[] = "%s:  %s\n";
  struct Case {
    std::string data;
    const char* format;
    Escape escape;
    const char* expected;
  } cases[] = {
      // The eleven control fields are left out, whatever their case; the rest come in map order
      // (EMAIL 9, NAME 13, TEMPLATE_WEB 16, A 14, B 15).
      {"name=Ann&email=e@x&BGCOLOR=red&bgimage=i&TextColor=c&FULLHEAD=1&REQUIRED=r&REDIRECT=/"
       "&LINKBACK=/&LINKBACKTEXT=t&subject=s&recipient=r&template_web=t.htm",
       kMail, Escape::kNone, "EMAIL:  e@x\nNAME:  Ann\nTEMPLATE_WEB:  t.htm\n"},
      {"a=&b=", kMail, Escape::kNone, "A:  \nB:  \n"},
      {"a=1&sortorder=", kMail, Escape::kNone, "A:  1\n"},
      // SORTORDER picks and orders the names, spelled as it spells them.
      {"name=Ann&email=e@x&other=1&sortorder=email%2C+name", kMail, Escape::kNone,
       "email:  e@x\nname:  Ann\n"},
      {"subject=Hi&sortorder=Subject,,missing++Subject", kMail, Escape::kNone,
       "Subject:  Hi\nmissing:  \nSubject:  Hi\n"},
      {"a\tb=1&sortorder=a%09b", kMail, Escape::kNone, "a\tb:  1\n"},  // a tab does not separate
      // Only the first 1999 characters of SORTORDER are read.
      {"abcd=4&abcdef=6&sortorder=" + std::string(1995, ',') + "abcdef", kMail, Escape::kNone,
       "abcd:  4\n"},
      {"<i>=a+%26+b", kRow, Escape::kHtml,
       "<TR><TD VALIGN=TOP><B>&lt;I&gt;</B></TD><TD>a &amp; b</TD></TR>\n"},
      {"<i>=a+%26+b", kMail, Escape::kNone, "<I>:  a & b\n"},
      {"a=1", "100%% %s=%s\n", Escape::kNone, "100% A=1\n"},
      {"a=1", "%s=%s %s\n", Escape::kNone, "A=1 \n"},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    EXPECT_TRUE(write_field_list(out, request_with(c.data), c.format, c.escape));
    EXPECT_EQ(c.expected, out.str()) << c.data.substr(0, 80) << " | " << c.format;
  }
}

}  // namespace
