#include "velloc/event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <regex>

#include "tests/support/cgi_runner.h"

namespace {

using testing_support::TempDir;

TEST(LogLevel, AdmitsTheDocumentedTypes) {
  struct Case {
    int level;
    bool type1, type5, type10, type15;
  } cases[] = {{1, true, false, false, false},  {5, true, true, false, false},
               {10, true, false, true, false},  {15, true, true, false, true},
               {0, false, false, false, false}, {2, false, false, false, false},
               {-1, false, false, false, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.type1, log_level_admits(c.level, 1)) << c.level;
    EXPECT_EQ(c.type5, log_level_admits(c.level, 5)) << c.level;
    EXPECT_EQ(c.type10, log_level_admits(c.level, 10)) << c.level;
    EXPECT_EQ(c.type15, log_level_admits(c.level, 15)) << c.level;
  }
}

TEST(LogLine, HasTheFixedLayout) {
  struct tm t = {};
  t.tm_year = 2005 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ("[03/07/05|09:05:03|00042] hello\n",
            format_log_line(t, 42, "hello\n"));
  EXPECT_EQ("[03/07/05|09:05:03|1234567] x", format_log_line(t, 1234567, "x"));
}

class EventLogTest : public ::testing::Test {
 protected:
  EventLogTest() { context_.log_file = dir_.file("brannic.log"); }
  std::string logged() const { return dir_.read("brannic.log"); }

  TempDir dir_;
  MailMessage context_;
};

TEST_F(EventLogTest, AppendsFormattedLinesWithoutAddingLineEnds) {
  context_.log_level = 5;
  log_event(context_, 1, "Velloc Failed: %s", "no");
  log_event(context_, 5, "MS - %d %s\n", 250, "ok");
  log_event(context_, 15, "trace\n");
  std::regex line(
      R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|(\d{5,})\] Velloc Failed: no)"
      R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|(\d{5,})\] MS - 250 ok
)");
  std::smatch match;
  std::string text = logged();
  ASSERT_TRUE(std::regex_match(text, match, line)) << text;
  EXPECT_EQ(getpid(), std::stoi(match[1]));
}

TEST_F(EventLogTest, FilteredCallStillCreatesTheFile) {
  context_.log_level = 0;
  log_event(context_, 1, "error\n");
  EXPECT_TRUE(dir_.exists("brannic.log"));
  EXPECT_EQ("", logged());
}

TEST_F(EventLogTest, LongMessagesAreCutTo1999Characters) {
  std::string message(3000, 'm');
  log_event(context_, 1, "%s", message.c_str());
  std::string text = logged();
  ASSERT_GT(text.size(), 1999u);
  EXPECT_EQ(std::string(1999, 'm'), text.substr(text.size() - 1999));
  EXPECT_EQ(']', text[text.size() - 2001]);
}

TEST_F(EventLogTest, ReusesALogFileNamedInOtherCase) {
  dir_.write("Brannic.Log", "");
  context_.log_file = dir_.path() + "\\BRANNIC.LOG";
  log_event(context_, 1, "x");
  EXPECT_NE("", dir_.read("Brannic.Log"));
}

TEST_F(EventLogTest, UnopenableLogIsDroppedQuietly) {
  context_.log_file = dir_.file("missing/dir/log");
  EXPECT_TRUE(log_event(context_, 1, "lost\n"));
  context_.log_file = "";
  EXPECT_TRUE(log_event(context_, 1, "lost\n"));
  context_.log_file = "nul";
  EXPECT_TRUE(log_event(context_, 1, "nowhere\n"));
  EXPECT_FALSE(dir_.exists("missing"));
}

}  // namespace
