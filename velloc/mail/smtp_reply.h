// The reply side of SMTP as pure code: a buffer that cuts the bytes a server
// sends into reply lines, and the judgement of the lines of one reply. Nothing
// here does I/O; the connection feeds the buffer from its stream.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

// Reply lines are kept up to this many characters; the rest of a longer line,
// up to its line feed, is dropped.
inline constexpr std::size_t kMaxReplyLine = 2999;

// Holds what has arrived and not yet been taken. Memory stays bounded by the
// bytes added since the last take: a line is never held longer than the limit.
class ReplyLineBuffer {
 public:
  void add(std::string_view bytes);
  // Moves the next complete line (with its line feed, unless the cut dropped it)
  // into *line; false when no complete line has arrived.
  bool take_line(std::string* line);
  // The incomplete rest, for a stream that has ended; the buffer is then empty.
  std::string take_rest();
  // Drops everything held. Returns true when there was anything.
  bool discard();
  // Whether anything is held, a line or part of one.
  bool pending() const { return !lines_.empty() || !partial_.empty(); }

 private:
  std::deque<std::string> lines_;
  std::string partial_;
  bool dropping_ = false;  // partial_ reached the limit: bytes up to its line feed go
};

// Follows the lines of one reply. A line is three digits followed by a blank, a
// hyphen or the line end; a hyphen says that more lines follow, and every line
// must carry the code of the first.
class ReplyParser {
 public:
  enum class Step { kMore, kEnded, kMalformed, kCodeChanged };
  Step add(std::string_view line);
  // The code of the reply's first line; 0 before a well-formed one.
  int code() const { return code_; }
  // Ended with a code of class 2 or 3.
  bool positive() const { return code_ >= 200 && code_ < 400; }

 private:
  int code_ = 0;
  bool started_ = false;
};
