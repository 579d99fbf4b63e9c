#include "velloc/request/event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <regex>

#include "tests/support/cgi_runner.h"
#include "tests/support/log_text.h"

namespace {

TEST(EventLog, LevelsAdmitTheDocumentedTypes) {
  // Admitted of the types 1, 5, 10 and 15.
  std::pair<int, std::string> cases[] = {{1, "1000"}, {5, "1100"}, {10, "1010"}, {15, "1101"},
                                         {0, "0000"}, {2, "0000"}, {-1, "0000"}};
  for (const auto& [level, admitted] : cases) {
    std::string got;
    for (int type : {1, 5, 10, 15}) got += log_level_admits(level, type) ? '1' : '0';
    EXPECT_EQ(admitted, got) << "level " << level;
  }
}

TEST(EventLog, LineLayout) {
  std::tm t = {};
  t.tm_year = 105, t.tm_mon = 2, t.tm_mday = 7, t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 3;
  EXPECT_EQ("[03/07/05|09:05:03|00042] hello\n", format_log_line(t, 42, "hello\n"));
  EXPECT_EQ("[03/07/05|09:05:03|1234567] x", format_log_line(t, 1234567, "x"));
}

TEST(EventLog, ControlCharactersAreWrittenVisibly) {
  const std::pair<std::string, std::string> cases[] = {
      {"ua \x1b[2J\x1b]0;x\x07 end\n", "ua \\x1b[2J\\x1b]0;x\\x07 end\n"},
      {"\v\f\t\x7f\x01", "\\x0b\\x0c\\x09\\x7f\\x01"},
      {"a\r\nb\r\n", "a  b\r\n"},
      {"x\xC2\x85y\xE2\x80\xA8z\xE2\x80\xA9", "x\\u0085y\\u2028z\\u2029"},
      {"\xE2\x80\xAE"
       "fdp.exe \xE2\x81\xA6\xE2\x81\xA9\xD8\x9C\xE2\x80\x8E\xE2\x80\x8F",
       "\\u202efdp.exe \\u2066\\u2069\\u061c\\u200e\\u200f"},
      {"\x9b"
       "31m \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\\x9b"
       "31m \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"latin \xE9t\xE9 C:\\Brannic\\x", "latin \xE9t\xE9 C:\\Brannic\\x"},
      {"cut \xE2\x80", "cut \xE2\\x80"},
      {"overlong \xC0\x9B", "overlong \xC0\\x9b"},
      {"surrogate \xED\xA0\x80", "surrogate \xED\xA0\\x80"},
  };
  for (const auto& [message, written] : cases)
    EXPECT_EQ(written, visible_log_message(message)) << written;
}

class EventLogTest : public ::testing::Test {
 protected:
  EventLogTest() { context_.log_file = dir_.file("brannic.log"); }
  std::string logged() const { return dir_.read("brannic.log"); }

  testing_support::TempDir dir_;
  LogContext context_;
};

TEST_F(EventLogTest, AppendsFilteredLinesWithoutAddingLineEnds) {
  context_.log_level = 5;
  log_event(context_, 1, "Velloc Failed: %s", "no");
  log_event(context_, 5, "MS - %d %s\n", 250, "ok");
  log_event(context_, 15, "trace\n");
  log_event(context_, 1, "%s", std::string(3000, 'm').c_str());
  char pid[16];
  std::snprintf(pid, sizeof pid, "%05d", getpid());
  const std::string prefix = R"(\[\d\d/\d\d/\d\d\|\d\d:\d\d:\d\d\|)" + std::string(pid);
  std::string text = logged();
  ASSERT_TRUE(text.ends_with("] " + std::string(1999, 'm'))) << text;
  text.resize(text.size() - 1999);
  EXPECT_TRUE(std::regex_match(text, std::regex(prefix + "\\] Velloc Failed: no" + prefix +
                                                "\\] MS - 250 ok\n" + prefix + "\\] ")))
      << text;
}

TEST_F(EventLogTest, FilteredCallsNeverOpenTheFileAndAdmittedOnesOpenItOnce) {
  context_.log_level = 0;
  log_event(context_, 1, "error\n");
  EXPECT_FALSE(dir_.exists("brannic.log"));
  context_.log_level = 1;
  log_event(context_, 1, "first\n");
  // The open file keeps the lines of the run even when its name goes meanwhile.
  std::rename(dir_.file("brannic.log").c_str(), dir_.file("moved.log").c_str());
  log_event(context_, 1, "second\n");
  EXPECT_FALSE(dir_.exists("brannic.log"));
  EXPECT_EQ("first\nsecond\n", testing_support::logged_messages(dir_.file("moved.log")));
}

TEST_F(EventLogTest, LogFileNamedInOtherCaseIsReusedAndAnUnopenableOneIsDropped) {
  dir_.write("Brannic.Log", "");
  context_.log_file = dir_.path() + "\\BRANNIC.LOG";
  log_event(context_, 1, "x");
  EXPECT_NE("", dir_.read("Brannic.Log"));
  for (std::string file : {dir_.file("missing/dir/log"), std::string(), std::string("nul")}) {
    context_.log_file = file;
    EXPECT_TRUE(log_event(context_, 1, "lost\n")) << file;
  }
  EXPECT_FALSE(dir_.exists("missing"));
}

TEST_F(EventLogTest, LineBreaksInLoggedValuesCannotForgeLines) {
  context_.log_level = 1;
  const std::pair<std::string, std::string> cases[] = {
      {"a.htm\r\n[12/08/26|12:00:00|1] Velloc Failed: forged\r", "a.htm  [12/08/26"},
      {"line\r\n", "line\r\n"},
      {"x\ny\n", "x y\n"},
      {"\n", "\n"},
      {"\r", " "},
  };
  for (const auto& [value, start] : cases) {
    std::remove(dir_.file("brannic.log").c_str());
    context_.log = std::make_shared<LogFile>();
    log_event(context_, 1, "%s", value.c_str());
    std::string text = testing_support::logged_messages(dir_.file("brannic.log"));
    EXPECT_EQ(value.size(), text.size()) << value;
    EXPECT_EQ(0u, text.find(start)) << text;
  }
  std::remove(dir_.file("brannic.log").c_str());
  context_.log = std::make_shared<LogFile>();
  log_event(context_, 1, "Could not open Receipt Template File: %s\n", "t\nVelloc Failed: x");
  EXPECT_EQ("Could not open Receipt Template File: t Velloc Failed: x\n",
            testing_support::logged_messages(dir_.file("brannic.log")));
}
}  // namespace
