#include "velloc/mail/smtp_reply.h"

#include <utility>

namespace {

constexpr std::size_t kCodeDigits = 3;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// What may follow the code: a blank, a hyphen, or the end of the line (the line
// may have been cut, or ended by the closed stream, before its line feed).
bool ends_code(std::string_view rest) {
  return rest.empty() || rest[0] == ' ' || rest[0] == '-' || rest == "\n" || rest == "\r" ||
         rest == "\r\n";
}

}  // namespace

void ReplyLineBuffer::add(std::string_view bytes) {
  for (char c : bytes) {
    if (!dropping_) partial_.push_back(c);
    if (c == '\n') {
      lines_.push_back(std::move(partial_));
      partial_.clear();
      dropping_ = false;
    } else if (partial_.size() == kMaxReplyLine) {
      dropping_ = true;
    }
  }
}

bool ReplyLineBuffer::take_line(std::string* line) {
  if (lines_.empty()) return false;
  *line = std::move(lines_.front());
  lines_.pop_front();
  return true;
}

std::string ReplyLineBuffer::take_rest() {
  std::string rest = std::move(partial_);
  partial_.clear();
  dropping_ = false;
  return rest;
}

bool ReplyLineBuffer::discard() {
  bool held = !lines_.empty() || !partial_.empty();
  lines_.clear();
  partial_.clear();
  dropping_ = false;
  return held;
}

ReplyParser::Step ReplyParser::add(std::string_view line) {
  if (line.size() < kCodeDigits || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2]) ||
      !ends_code(line.substr(kCodeDigits)))
    return Step::kMalformed;
  int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (started_ && code != code_) return Step::kCodeChanged;
  started_ = true;
  code_ = code;
  return line.size() > kCodeDigits && line[kCodeDigits] == '-' ? Step::kMore : Step::kEnded;
}
