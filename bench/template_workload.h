// Templates for measuring the template engine: plain text and directive-heavy
// lines repeated to a given size, a request for them to refer to, and an output
// stream that discards what it is given.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

#include "velloc/request/cgi_request.h"

namespace bench {

inline constexpr char kPlainLine[] =
    "<p>Thank you for your order. We will be in touch within two working days "
    "to confirm the delivery date.</p>\n";
inline constexpr char kDirectiveLine[] =
    "<td>%NAME%</td>[QTY > 2]{<b>%QTY%</b>}[QTY <= 2]{few} #TOTAL + QTY PRICE#"
    "<i>%TOTAL%</i> \\{^REMOTE_ADDR^\\} ; a comment\n";

// `line` repeated to at least `bytes` bytes.
inline std::string repeat_to_size(const std::string& line, std::size_t bytes) {
  std::string text;
  text.reserve(bytes + line.size());
  while (text.size() < bytes) text += line;
  return text;
}

inline CgiRequest sample_request() {
  CgiRequest request;
  request.set_field("NAME", "Ann Example");
  request.set_field("QTY", "3");
  request.set_field("PRICE", "2.50");
  request.environment.set("REMOTE_ADDR", "127.0.0.1");
  return request;
}

// Counts and drops everything written to it.
class DiscardBuffer : public std::streambuf {
 public:
  std::size_t written() const { return written_; }

 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override {
    written_ += static_cast<std::size_t>(count);
    return count;
  }
  int_type overflow(int_type c) override {
    ++written_;
    return traits_type::not_eof(c);
  }

 private:
  std::size_t written_ = 0;
};

}  // namespace bench
