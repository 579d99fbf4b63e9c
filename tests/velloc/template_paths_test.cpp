#include "velloc/template_paths.h"

#include <gtest/gtest.h>

#include <sstream>

#include "velloc/run.h"

namespace {

class TemplatePathsTest : public ::testing::Test {
 protected:
  TemplatePathsTest() : run_(response_) {
    run_.settings.template_directory = ".\\BRANNIC\\TEMPLATES\\";
    run_.message.log_level = 0;
  }
  void form(std::string_view data) { parse_form_data(data, ", ", run_.request.fields); }

  std::ostringstream response_;
  ::Run run_;
};

TEST_F(TemplatePathsTest, PathsAreTheTemplateDirectoryAndTheName) {
  form(
      "TEMPLATE_MISSING=1&TEMPLATE_MAIL=mail\\body.txt&TEMPLATE_RECEIPT=a.b.htm&"
      "TEMPLATE_WEB=/etc/passwd&TEMPLATE_DATABASE=5&TEMPLATE_TEXTFILE=6");
  EXPECT_TRUE(resolve_template_paths(run_));
  const TemplatePaths& paths = run_.templates;
  const std::string kDir = ".\\BRANNIC\\TEMPLATES\\";
  EXPECT_EQ(kDir + "1", paths.missing_template);
  EXPECT_EQ(kDir + "mail\\body.txt", paths.mail_template);
  EXPECT_EQ(kDir + "a.b.htm", paths.receipt_template);
  EXPECT_EQ(kDir + "/etc/passwd", paths.web_template);
  EXPECT_EQ(kDir + "5", paths.database_template);
  EXPECT_EQ(kDir + "6", paths.textfile_template);
}

TEST_F(TemplatePathsTest, EmptyNamesAndNamesWithTwoFullStopsGiveNoPath) {
  form("TEMPLATE_WEB=..\\secret.htm&TEMPLATE_MAIL=a..b.htm&TEMPLATE_RECEIPT=");
  resolve_template_paths(run_);
  EXPECT_EQ("", run_.templates.web_template);
  EXPECT_EQ("", run_.templates.mail_template);
  EXPECT_EQ("", run_.templates.receipt_template);
}

TEST(ListMissingFields, NamesAsWrittenInRequiredEscaped) {
  struct Case {
    const char* data;
    int count;
    const char* message_tail;  // after the heading; "unchanged" when nothing is missing
  } cases[] = {
      {"REQUIRED=name,+email&name=&EMAIL=", 2, "name<BR>\nemail<BR>\n"},
      {"REQUIRED=space+zero+absent+empty&space=+&zero=0&empty=", 2, "absent<BR>\nempty<BR>\n"},
      {"REQUIRED=%3Cb%3E", 1, "&lt;b&gt;<BR>\n"},
      {"REQUIRED=&a=", 0, "unchanged"},
      {"REQUIRED=a&a=1", 0, "unchanged"},
  };
  const std::string kHeading =
      "<P>Form entry not complete, the following required fields are incomplete:<P>\n";
  for (const Case& c : cases) {
    std::ostringstream out;
    ::Run run(out);
    parse_form_data(c.data, ", ", run.request.fields);
    std::string message = "unchanged";
    EXPECT_EQ(c.count, list_missing_fields(run, message)) << c.data;
    EXPECT_EQ(c.count ? kHeading + c.message_tail : c.message_tail, message) << c.data;
  }
}

TEST_F(TemplatePathsTest, CompleteFormGetsTheEmailDefaultOnlyWhenBlank) {
  form("REQUIRED=name&name=Ann");
  EXPECT_TRUE(check_required_fields(run_));
  EXPECT_EQ("VellocPro", run_.request.get_field("EMAIL"));
  run_.request.set_field("EMAIL", "not an address");
  EXPECT_TRUE(check_required_fields(run_));
  EXPECT_EQ("not an address", run_.request.get_field("EMAIL"));
  EXPECT_EQ("", response_.str());
}

}  // namespace
