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
  void form(std::string_view data) {
    parse_form_data(data, ", ", run_.request.fields);
  }
  // Runs the required-field check; true when it ended the run.
  bool check_ends_run() {
    try {
      check_required_fields(run_);
    } catch (const RunEnded&) {
      return true;
    }
    return false;
  }

  std::ostringstream response_;
  ::Run run_;
};

TEST_F(TemplatePathsTest, PathsAreTheTemplateDirectoryAndTheName) {
  form(
      "TEMPLATE_WEB=thanks.htm&template_mail=mail\\body.txt&TEMPLATE_RECEIPT=");
  EXPECT_TRUE(resolve_template_paths(run_));
  EXPECT_EQ(".\\BRANNIC\\TEMPLATES\\thanks.htm", run_.templates.web_template);
  EXPECT_EQ(".\\BRANNIC\\TEMPLATES\\mail\\body.txt",
            run_.templates.mail_template);
  EXPECT_EQ("", run_.templates.receipt_template);
  EXPECT_EQ("", run_.templates.missing_template);
}

TEST_F(TemplatePathsTest, EveryTemplateFieldHasItsPath) {
  form(
      "TEMPLATE_MISSING=1&TEMPLATE_MAIL=2&TEMPLATE_RECEIPT=3&TEMPLATE_WEB=4&"
      "TEMPLATE_DATABASE=5&TEMPLATE_TEXTFILE=6");
  run_.settings.template_directory = "/t/";
  resolve_template_paths(run_);
  const TemplatePaths& paths = run_.templates;
  EXPECT_EQ("/t/1", paths.missing_template);
  EXPECT_EQ("/t/2", paths.mail_template);
  EXPECT_EQ("/t/3", paths.receipt_template);
  EXPECT_EQ("/t/4", paths.web_template);
  EXPECT_EQ("/t/5", paths.database_template);
  EXPECT_EQ("/t/6", paths.textfile_template);
}

TEST_F(TemplatePathsTest, NamesWithTwoFullStopsAreRefused) {
  form(
      "TEMPLATE_WEB=..\\secret.htm&TEMPLATE_MAIL=a..b.htm&TEMPLATE_RECEIPT=a.b."
      "htm");
  resolve_template_paths(run_);
  EXPECT_EQ("", run_.templates.web_template);
  EXPECT_EQ("", run_.templates.mail_template);
  EXPECT_EQ(".\\BRANNIC\\TEMPLATES\\a.b.htm", run_.templates.receipt_template);
}

TEST_F(TemplatePathsTest, AbsoluteNamesStillGetTheDirectoryInFront) {
  form("TEMPLATE_WEB=/etc/passwd");
  resolve_template_paths(run_);
  EXPECT_EQ(".\\BRANNIC\\TEMPLATES\\/etc/passwd", run_.templates.web_template);
}

TEST_F(TemplatePathsTest, MissingFieldsMessageListsNamesAsWrittenInRequired) {
  form("REQUIRED=name,+email&name=&EMAIL=");
  std::string message;
  EXPECT_EQ(2, list_missing_fields(run_, message));
  EXPECT_EQ(
      "<P>Form entry not complete, the following required fields are "
      "incomplete:<P>\nname<BR>\nemail<BR>\n",
      message);
}

TEST_F(TemplatePathsTest, MissingFieldNamesAreEscapedForThePage) {
  form("REQUIRED=%3Cb%3E");
  std::string message;
  EXPECT_EQ(1, list_missing_fields(run_, message));
  EXPECT_NE(std::string::npos, message.find("&lt;b&gt;<BR>\n"));
}

TEST_F(TemplatePathsTest, WhatCountsAsFilled) {
  form("REQUIRED=space+zero+absent+empty&space=+&zero=0&empty=");
  std::string message = "unchanged";
  EXPECT_EQ(2, list_missing_fields(run_, message));
  EXPECT_NE(std::string::npos, message.find("\nabsent<BR>\nempty<BR>\n"));
}

TEST_F(TemplatePathsTest, NothingRequiredLeavesTheMessageAlone) {
  form("REQUIRED=&a=");
  std::string message = "unchanged";
  EXPECT_EQ(0, list_missing_fields(run_, message));
  EXPECT_EQ("unchanged", message);
}

TEST_F(TemplatePathsTest, CompleteFormGetsTheEmailDefault) {
  form("REQUIRED=name&name=Ann");
  EXPECT_FALSE(check_ends_run());
  EXPECT_EQ("VellocPro", run_.request.get_field("EMAIL"));
  EXPECT_EQ("", response_.str());
}

}  // namespace
