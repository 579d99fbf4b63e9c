#include "velloc/mail/smtp_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

TEST(ReplyLineBufferTest, BytesInAnyPiecesGiveTheSameLines) {
  struct Case {
    std::vector<std::string> pieces;
    Lines lines;
    std::string rest;
  };
  const std::string cut(kMaxReplyLine, 'x');
  const Case cases[] = {
      {{"220 a\r\n250-b\r\n250 c\r\n"}, {"220 a\r\n", "250-b\r\n", "250 c\r\n"}, ""},
      {{"2", "20 a\r", "\n25", "0 b\n"}, {"220 a\r\n", "250 b\n"}, ""},
      {{"250 ok\r\n250 par"}, {"250 ok\r\n"}, "250 par"},
      {{cut, "yyy", "zzz\r\n250 next\r\n"}, {cut, "250 next\r\n"}, ""},
      {{cut.substr(1), "\n"}, {cut.substr(1) + "\n"}, ""},
      {{"\n\n"}, {"\n", "\n"}, ""},
      {{}, {}, ""},
  };
  for (const Case& c : cases) {
    ReplyLineBuffer buffer;
    for (const std::string& piece : c.pieces) buffer.add(piece);
    Lines lines;
    for (std::string line; buffer.take_line(&line);) lines.push_back(line);
    EXPECT_EQ(c.lines, lines);
    EXPECT_EQ(c.rest, buffer.take_rest());
  }
  ReplyLineBuffer buffer;
  buffer.add("220 go ahead\r\n250 injected\r\n250-in");
  std::string line;
  ASSERT_TRUE(buffer.take_line(&line));
  EXPECT_TRUE(buffer.discard());
  EXPECT_FALSE(buffer.take_line(&line));
  EXPECT_EQ("", buffer.take_rest());
  EXPECT_FALSE(buffer.discard());
}

TEST(ReplyParserTest, ThreeDigitsThenBlankHyphenOrLineEndAndOneCodePerReply) {
  using Step = ReplyParser::Step;
  struct Case {
    Lines lines;
    Step last;
    int code;
    bool positive;
  };
  const Case cases[] = {
      {{"250 ok\r\n"}, Step::kEnded, 250, true},
      {{"354\r\n"}, Step::kEnded, 354, true},
      {{"221\n"}, Step::kEnded, 221, true},
      {{"250"}, Step::kEnded, 250, true},  // the stream ended after the code
      {{"550 no\r\n"}, Step::kEnded, 550, false},
      {{"220-a\r\n", "220-\r\n", "220 c\r\n"}, Step::kEnded, 220, true},
      {{"250-a\r\n", "250\r\n"}, Step::kEnded, 250, true},
      {{"550-no\r\n", "250 ok\r\n"}, Step::kCodeChanged, 550, false},
      {{"250-a\r\n", "251 b\r\n"}, Step::kCodeChanged, 250, true},
      {{"250-a\r\n"}, Step::kMore, 250, true},
      {{"2\r\n"}, Step::kMalformed, 0, false},
      {{"25 ok\r\n"}, Step::kMalformed, 0, false},
      {{"2500 ok\r\n"}, Step::kMalformed, 0, false},
      {{"250ok\r\n"}, Step::kMalformed, 0, false},
      {{" 250 ok\r\n"}, Step::kMalformed, 0, false},
      {{"2a0 ok\r\n"}, Step::kMalformed, 0, false},
      {{"250\rx\r\n"}, Step::kMalformed, 0, false},
      {{""}, Step::kMalformed, 0, false},
      {{"250-a\r\n", "ok\r\n"}, Step::kMalformed, 250, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.back());
    ReplyParser parser;
    Step step = Step::kMore;
    for (const std::string& line : c.lines) step = parser.add(line);
    EXPECT_EQ(c.last, step);
    EXPECT_EQ(c.code, parser.code());
    EXPECT_EQ(c.positive, parser.positive());
  }
}

}  // namespace
