#include "velloc/mail/reply_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ReplyText, KeptShortValidAndWithoutControls) {
  const std::string long_reply = "250 " + std::string(600, 'x');
  const std::string cut_before_escape = std::string(509, 'a') + "\x1b";
  struct Case {
    std::string reply;
    std::string kept;
  };
  const Case cases[] = {
      {"250 2.0.0 Ok: queued as 4XyZ\r\n", "250 2.0.0 Ok: queued as 4XyZ"},
      {"550 caf\xC3\xA9", "550 caf\xC3\xA9"},
      {"550 \x1b[2J\x07 \t bell", "550 \\x1b[2J\\x07 \\x09 bell"},
      {"550 \xFF\xC3 \xC2\x9B \xE2\x80\xAE", "550 \\xff\\xc3 \\u009b \\u202e"},
      {long_reply, long_reply.substr(0, kMaxReplyText)},
      {std::string(511, 'a') + "\xC3\xA9", std::string(511, 'a')},  // never half a character
      {cut_before_escape, std::string(509, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 40));
    EXPECT_EQ(c.kept, reply_text(c.reply));
  }
  EXPECT_EQ("250 last", final_reply_line({"250-first", "250 last"}));
  EXPECT_EQ("", final_reply_line({}));
}

}  // namespace
