#include "velloc/request/json_log_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <vector>

#include "platform/clock.h"
#include "tests/support/cgi_runner.h"
#include "velloc/request/event_log.h"
#include "velloc/request/request_id.h"

namespace {

std::tm local_time(int offset_seconds) {
  std::tm t = {};
  t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 9, t.tm_hour = 21, t.tm_min = 40, t.tm_sec = 5;
  t.tm_gmtoff = offset_seconds;
  return t;
}

TEST(JsonLogLine, TimeCarriesItsOffset) {
  const std::pair<int, std::string> cases[] = {
      {0, "2026-12-09T21:40:05.123+00:00"},
      {3600, "2026-12-09T21:40:05.123+01:00"},
      {-(9 * 3600 + 30 * 60), "2026-12-09T21:40:05.123-09:30"},
      {5 * 3600 + 45 * 60, "2026-12-09T21:40:05.123+05:45"},
  };
  for (const auto& [offset, written] : cases)
    EXPECT_EQ(written, iso8601_local_time(local_time(offset), 123)) << offset;
}

TEST(JsonLogLine, Layout) {
  JsonLogHead head{"T", 5, 42, LogEvent::kMessage, "", ""};
  JsonLogHead request{"T", 1, 7, LogEvent::kRequest, "00000000000000ff", "contact"};
  const std::vector<LogMember> summary = {{"outcome", "spam"}, {"duration_ms", "0.412", true}};
  struct Case {
    JsonLogHead head;
    std::vector<LogMember> members;
    bool with_message;
    std::string message;
    std::string line;
  };
  const Case cases[] = {
      // Below LOG_LEVEL 15 the message stays out, whatever it holds.
      {head,
       {},
       false,
       "To: <visitor@example.com>...\n",
       R"({"time":"T","level":5,"pid":42,"event":"message"})"},
      {request, summary, false, "",
       R"({"time":"T","level":1,"pid":7,"event":"request","request_id":"00000000000000ff",)"
       R"("form":"contact","outcome":"spam","duration_ms":0.412})"},
      // The message, its closing line end dropped, with quotes, backslashes and
      // control characters escaped and bytes outside UTF-8 replaced.
      {head, {}, true, "a \"b\" C:\\x\r\n", R"(..."message":"a \"b\" C:\\x"})"},
      {head, {}, true, "x\ny\tz\x1b[2J\x7f", R"(..."message":"x\u000ay\u0009z\u001b[2J\u007f"})"},
      {head,
       {},
       true,
       "x\xC2\x85y\xE2\x80\xA8z\xE2\x80\xAE",
       R"(..."message":"x\u0085y\u2028z\u202e"})"},
      {head,
       {},
       true,
       "\xC3\xA9\xF0\x9F\x98\x80 ok",
       "...\"message\":\"\xC3\xA9\xF0\x9F\x98\x80 ok\"}"},
      {head,
       {},
       true,
       "latin \xE9t\xE9 \xC0\x9B \xED\xA0\x80 cut \xE2\x80",
       "...\"message\":\"latin \xEF\xBF\xBDt\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD "
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD cut \xEF\xBF\xBD\xEF\xBF\xBD\"}"},
      {head,
       {{"address", "unix:/run/\"v\".sock"}},
       false,
       "",
       R"(...,"address":"unix:/run/\"v\".sock"})"},
  };
  for (const Case& c : cases) {
    std::string line = format_json_log_line(c.head, c.members, c.with_message, c.message);
    ASSERT_TRUE(line.ends_with("}\n")) << line;
    line.pop_back();
    if (c.line.starts_with("..."))
      EXPECT_TRUE(line.ends_with(c.line.substr(3))) << line;
    else
      EXPECT_EQ(c.line, line);
  }
}

TEST(JsonLogLine, RequestIdsAreSixteenHexDigitsCountedFromTheirStart) {
  RequestIds ids(0xfffffffffffffffeULL);
  EXPECT_EQ("fffffffffffffffe", ids.next());
  EXPECT_EQ("ffffffffffffffff", ids.next());
  EXPECT_EQ("0000000000000000", ids.next());
  EXPECT_NE(RequestIds().next(), RequestIds().next());
}

// Which members a line written through the log has at which level, and that the
// text form of a record is its message alone.
TEST(JsonLogLine, WrittenByTheEventLog) {
  testing_support::TempDir dir;
  platform::FixedClock clock(
      std::chrono::system_clock::time_point(std::chrono::milliseconds(1765316405123)));
  LogContext context;
  context.log_file = dir.file("log");
  context.clock = &clock;
  context.log_format = LogFormat::kJson;
  context.request_id = "0123456789abcdef";
  const LogMember members[] = {{"workers", "4", true}};
  struct Case {
    int level;
    std::string written;  // after the time
  };
  const Case cases[] = {
      {1, R"(,"level":1,"pid":P,"event":"refused","request_id":"0123456789abcdef"}
,"level":1,"pid":P,"event":"server_start","request_id":"0123456789abcdef","workers":4}
,"level":1,"pid":P,"event":"request","request_id":"0123456789abcdef","workers":4}
)"},
      {5, R"(,"level":1,"pid":P,"event":"refused","request_id":"0123456789abcdef"}
,"level":5,"pid":P,"event":"message","request_id":"0123456789abcdef"}
,"level":1,"pid":P,"event":"server_start","request_id":"0123456789abcdef","workers":4}
,"level":1,"pid":P,"event":"request","request_id":"0123456789abcdef","workers":4}
)"},
      {15,
       R"(,"level":1,"pid":P,"event":"refused","request_id":"0123456789abcdef","message":"Velloc Failed: a@b.example"}
,"level":5,"pid":P,"event":"message","request_id":"0123456789abcdef","message":"To: <a@b.example>..."}
,"level":1,"pid":P,"event":"server_start","request_id":"0123456789abcdef","workers":4,"message":"started"}
,"level":1,"pid":P,"event":"request","request_id":"0123456789abcdef","workers":4}
)"},
  };
  for (const Case& c : cases) {
    context.log_level = c.level;
    context.log = std::make_shared<LogFile>();
    std::remove(context.log_file.c_str());
    log_event(context, LogEvent::kRefused, 1, "Velloc Failed: %s", "a@b.example");
    log_event(context, 5, "To: <%s>...\n", "a@b.example");
    log_record(context, LogEvent::kServerStart, 1, members, "started\n");
    log_record(context, LogEvent::kRequest, 1, members, "");
    std::string text = dir.read("log");
    std::string time = R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:05\.123[+-]\d\d:\d\d")";
    text = std::regex_replace(text, std::regex(time), "");
    text = std::regex_replace(text, std::regex("\"pid\":" + std::to_string(getpid())), "\"pid\":P");
    EXPECT_EQ(c.written, text) << c.level;
  }
  context.log_format = LogFormat::kText;
  context.log_level = 1;
  context.log = std::make_shared<LogFile>();
  std::remove(context.log_file.c_str());
  log_record(context, LogEvent::kRequest, 1, members, "");
  log_record(context, LogEvent::kServerStart, 1, members, "velloc started\n");
  std::string text = dir.read("log");
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[[^\]]*\] velloc started\n)"))) << text;
}

}  // namespace
