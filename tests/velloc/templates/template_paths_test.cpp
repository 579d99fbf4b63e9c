#include "velloc/templates/template_paths.h"

#include <gtest/gtest.h>

#include <sstream>

#include "velloc/process_facts.h"
#include "velloc/run.h"

namespace {

struct RunOf {
  explicit RunOf(std::string_view data) {
    run.settings.template_directory = ".\\BRANNIC\\TEMPLATES\\";
    parse_form_data(data, ", ", run.request.fields);
  }
  std::ostringstream response;
  Site site{read_process_facts()};
  ::Run run{site};
};

TEST(TemplatePaths, TheTemplateDirectoryAndTheNameUnlessItHoldsTwoFullStops) {
  RunOf form(
      "TEMPLATE_MISSING=1&TEMPLATE_MAIL=a..b.htm&TEMPLATE_RECEIPT=a.b.htm&"
      "TEMPLATE_WEB=/etc/passwd&TEMPLATE_DATABASE=..\\5&TEMPLATE_TEXTFILE=mail\\6.txt");
  EXPECT_TRUE(resolve_template_paths(form.run));
  const TemplatePaths& paths = form.run.templates;
  const std::string dir = ".\\BRANNIC\\TEMPLATES\\";
  EXPECT_EQ((std::vector<std::string>{dir + "1", "", dir + "a.b.htm", dir + "/etc/passwd", "",
                                      dir + "mail\\6.txt"}),
            (std::vector<std::string>{paths.missing_template, paths.mail_template,
                                      paths.receipt_template, paths.web_template,
                                      paths.database_template, paths.textfile_template}));
  RunOf empty("TEMPLATE_WEB=");
  resolve_template_paths(empty.run);
  EXPECT_EQ("", empty.run.templates.web_template);
}

TEST(ListMissingFields, NamesAsWrittenInRequiredEscaped) {
  // The form, how many are missing, and the message after the heading.
  std::tuple<const char*, int, const char*> cases[] = {
      {"REQUIRED=name,+email&name=&EMAIL=", 2, "name<BR>\nemail<BR>\n"},
      {"REQUIRED=space+zero+absent+empty&space=+&zero=0&empty=", 2, "absent<BR>\nempty<BR>\n"},
      {"REQUIRED=%3Cb%3E", 1, "&lt;b&gt;<BR>\n"},
      {"REQUIRED=&a=", 0, "unchanged"},
      {"REQUIRED=a&a=1", 0, "unchanged"}};
  for (const auto& [data, count, tail] : cases) {
    RunOf form(data);
    std::string message = "unchanged";
    EXPECT_EQ(count, list_missing_fields(form.run, message)) << data;
    EXPECT_EQ(std::string(count ? "<P>Form entry not complete, the following required fields are "
                                  "incomplete:<P>\n"
                                : "") +
                  tail,
              message);
  }
}

TEST(CheckRequiredFields, CompleteFormGetsTheEmailDefaultOnlyWhenBlank) {
  RunOf form("REQUIRED=name&name=Ann");
  EXPECT_TRUE(check_required_fields(form.run));
  EXPECT_EQ("VellocPro", form.run.request.get_field("EMAIL"));
  form.run.request.set_field("EMAIL", "not an address");
  EXPECT_TRUE(check_required_fields(form.run));
  EXPECT_EQ("not an address", form.run.request.get_field("EMAIL"));
  EXPECT_EQ("", form.response.str());
}

}  // namespace
