#include "velloc/page_head.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

constexpr char kRow[] = "<TR><TD VALIGN=TOP><B>%s</B></TD><TD>%s</TD></TR>\n";

CgiRequest request_with(std::string_view data) {
  CgiRequest request;
  parse_form_data(data, ", ", request.fields);
  return request;
}

std::string head(std::string_view data) {
  std::ostringstream out;
  EXPECT_TRUE(write_page_head(out, request_with(data)));
  return out.str();
}

std::string list(std::string_view data, std::string_view format = "%s:  %s\n",
                 Escape escape = Escape::kNone) {
  std::ostringstream out;
  EXPECT_TRUE(write_field_list(out, request_with(data), format, escape));
  return out.str();
}

TEST(PageHead, BareBodyTagWithoutColours) {
  EXPECT_EQ("Content-Type: text/html\n\n<HTML>\n<BODY>\n",
            head("a=1&bgcolor=&fullhead="));
}

TEST(PageHead, StatusLineAndAttributesInOrder) {
  EXPECT_EQ(
      "HTTP/1.0 200 OK\nContent-Type: text/html\n\n<HTML>\n"
      "<BODY BGCOLOR=\"white\" BACKGROUND=\"bg.gif\" TEXT=\"black\">\n",
      head("textcolor=black&fullhead=yes&bgimage=bg.gif&bgcolor=white"));
  EXPECT_EQ(
      "Content-Type: text/html\n\n<HTML>\n<BODY BGCOLOR=\"white\" "
      "TEXT=\"black\">\n",
      head("bgcolor=white&textcolor=black"));
}

TEST(PageHead, AttributeValuesCannotBreakOutOfTheTag) {
  EXPECT_EQ(
      "Content-Type: text/html\n\n<HTML>\n<BODY "
      "TEXT=\"x&quot;&gt;&lt;script&gt;\">\n",
      head("textcolor=x%22%3E%3Cscript%3E"));
}

TEST(FieldList, LeavesOutControlFieldsInMapOrder) {
  // EMAIL 9, NAME 13, TEMPLATE_WEB 16; BGCOLOR and SUBJECT are control fields.
  EXPECT_EQ(
      "EMAIL:  e@x\nNAME:  Ann\nTEMPLATE_WEB:  t.htm\n",
      list("name=Ann&email=e@x&BGCOLOR=red&template_web=t.htm&subject=s"));
  EXPECT_EQ("A:  \nB:  \n", list("a=&b="));
}

TEST(FieldList, SortOrderChoosesAndOrdersTheNames) {
  EXPECT_EQ("email:  e@x\nname:  Ann\n",
            list("name=Ann&email=e@x&other=1&sortorder=email%2C+name"));
  EXPECT_EQ("Subject:  Hi\nmissing:  \nSubject:  Hi\n",
            list("subject=Hi&sortorder=Subject,,missing++Subject"));
  EXPECT_EQ("A:  1\n", list("a=1&sortorder="));
}

TEST(FieldList, SortOrderIsReadFromAtMost1999Characters) {
  std::string names = std::string(1995, ',') + "abcdef";
  EXPECT_EQ("abcd:  4\n", list("abcd=4&abcdef=6&sortorder=" + names));
}

TEST(FieldList, PageRowsEscapeNamesAndValues) {
  EXPECT_EQ("<TR><TD VALIGN=TOP><B>&lt;I&gt;</B></TD><TD>a &amp; b</TD></TR>\n",
            list("<i>=a+%26+b", kRow, Escape::kHtml));
  EXPECT_EQ("<I>:  a & b\n", list("<i>=a+%26+b"));
}

TEST(FieldList, FormatPercentSigns) {
  EXPECT_EQ("100% A=1\n", list("a=1", "100%% %s=%s\n"));
  EXPECT_EQ("A=1 \n", list("a=1", "%s=%s %s\n"));
}

TEST(ControlFields, MatchWithoutCase) {
  for (const char* name :
       {"BGCOLOR", "bgimage", "TextColor", "FULLHEAD", "SORTORDER", "REQUIRED",
        "REDIRECT", "LINKBACK", "LINKBACKTEXT", "SUBJECT", "recipient"})
    EXPECT_TRUE(is_control_field(name)) << name;
  for (const char* name :
       {"EMAIL", "TEMPLATE_WEB", "DEBUG_VARIABLES", "BGCOLORS", ""})
    EXPECT_FALSE(is_control_field(name)) << name;
}

TEST(NameList, CommasAndSpacesInRunsSeparate) {
  using Names = std::vector<std::string>;
  EXPECT_EQ((Names{"a", "b"}), split_name_list("a, b"));
  EXPECT_EQ((Names{"a", "b"}), split_name_list(" ,a b,, "));
  EXPECT_EQ((Names{"a\tb"}), split_name_list("a\tb"));
  EXPECT_TRUE(split_name_list(" , ").empty());
}

}  // namespace
