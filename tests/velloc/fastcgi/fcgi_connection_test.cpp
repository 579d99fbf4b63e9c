#include "velloc/fastcgi/fcgi_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using Start = FcgiConnection::Start;
using fcgi::encode_record;

std::string begin(std::uint16_t id, bool keep, std::uint16_t role = fcgi::kResponder) {
  std::string body{static_cast<char>(role >> 8),
                   static_cast<char>(role & 0xff),
                   static_cast<char>(keep ? 1 : 0),
                   0,
                   0,
                   0,
                   0,
                   0};
  return encode_record(fcgi::kBeginRequest, id, body);
}

// "CONTENT_LENGTH=3" as FCGI_PARAMS, closed.
std::string params(std::uint16_t id) {
  return encode_record(fcgi::kParams, id, std::string("\x0e\x01") + "CONTENT_LENGTH3") +
         encode_record(fcgi::kParams, id, "");
}

std::string read_all(int fd) {
  std::string data;
  char chunk[4096];
  for (ssize_t got; (got = read(fd, chunk, sizeof(chunk))) > 0;) data.append(chunk, got);
  return data;
}

TEST(FcgiConnection, RequestsAsTheyArriveWithinTheirTime) {
  const std::string answer = encode_record(fcgi::kStdout, 1, "page") +
                             encode_record(fcgi::kStdout, 1, "") +
                             fcgi::end_request_record(1, fcgi::kRequestComplete);
  const std::string whole = begin(1, true) + params(1) + encode_record(fcgi::kStdin, 1, "a=1");
  struct Case {
    const char* name;
    std::string sent;
    bool hang_up;  // the client closes its side after sending
    Start start;
    std::string body;
    bool kept;
    std::string answered;  // before the page
  };
  const Case cases[] = {
      {"whole", whole + encode_record(fcgi::kStdin, 1, ""), false, Start::kRequest, "a=1", true,
       ""},
      {"closed after it",
       begin(1, false) + params(1) + encode_record(fcgi::kStdin, 1, "a=1") +
           encode_record(fcgi::kStdin, 1, ""),
       true, Start::kRequest, "a=1", false, ""},
      {"aborted in the body", whole + encode_record(fcgi::kAbortRequest, 1, ""), false,
       Start::kRequest, "a=1", false, ""},
      {"hung up in the body", whole, true, Start::kRequest, "a=1", false, ""},
      {"stalled in the body", whole, false, Start::kRequest, "a=1", false, ""},
      {"stalled in the parameters", begin(1, true) + encode_record(fcgi::kParams, 1, "\x0e"), false,
       Start::kGone, "", false, ""},
      {"idle", "", false, Start::kGone, "", false, ""},
      {"not a record", "GET / HTTP/1.0\r\n\r\n", false, Start::kGone, "", false, ""},
      {"parameters over the bounds",
       begin(1, false) + encode_record(fcgi::kParams, 1, "\x01\xff\xff\xff\xff") +
           encode_record(fcgi::kStdin, 1, "a=1") + encode_record(fcgi::kStdin, 1, ""),
       false, Start::kParametersRefused, "", false, ""},
      {"a management record and a role of its own first",
       encode_record(fcgi::kGetValues, 0,
                     std::string("\x0e\x00"
                                 "FCGI_MAX_CONNS",
                                 16)) +
           begin(9, false, 3) + whole + encode_record(fcgi::kStdin, 1, ""),
       false, Start::kRequest, "a=1", true,
       encode_record(fcgi::kGetValuesResult, 0, std::string("\x0e\x01") + "FCGI_MAX_CONNS1") +
           fcgi::end_request_record(9, fcgi::kUnknownRole)},
      {"a second request at once",
       begin(1, true) + begin(2, true) + params(1) + encode_record(fcgi::kStdin, 1, "a=1") +
           encode_record(fcgi::kStdin, 1, ""),
       false, Start::kRequest, "a=1", true, fcgi::end_request_record(2, fcgi::kCantMultiplex)},
  };
  ConnectionLimits limits;
  limits.idle = std::chrono::milliseconds(100);
  limits.request = std::chrono::milliseconds(300);
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    ASSERT_EQ(static_cast<ssize_t>(c.sent.size()), write(fds[1], c.sent.data(), c.sent.size()));
    if (c.hang_up) shutdown(fds[1], SHUT_WR);
    std::string answered;
    {
      FcgiConnection connection(fds[0], limits);
      Start start = connection.read_request();
      EXPECT_EQ(c.start, start) << c.name;
      std::string body(8, '\0');
      body.resize(connection.read_body(body.data(), body.size()));
      char more;
      EXPECT_EQ(0u, connection.read_body(&more, 1)) << c.name;
      EXPECT_EQ(c.body, body) << c.name;
      if (start != Start::kGone) {
        connection.write_answer("page", 4);
        EXPECT_EQ(c.kept, connection.finish()) << c.name;
        answered = answer;
      }
    }
    EXPECT_EQ(c.answered + answered, read_all(fds[1])) << c.name;
    close(fds[1]);
  }
}

TEST(FcgiConnection, AKeptConnectionServesTheNextRequest) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  std::string request = begin(1, true) + params(1) + encode_record(fcgi::kStdin, 1, "a=1") +
                        encode_record(fcgi::kStdin, 1, "");
  std::string twice = request + request;
  ASSERT_EQ(static_cast<ssize_t>(twice.size()), write(fds[1], twice.data(), twice.size()));
  FcgiConnection connection(fds[0], ConnectionLimits());
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(Start::kRequest, connection.read_request()) << round;
    EXPECT_EQ(std::vector<std::string>{"CONTENT_LENGTH=3"}, connection.parameters());
    EXPECT_STREQ("CONTENT_LENGTH=3", connection.environment()[0]);
    EXPECT_EQ(nullptr, connection.environment()[1]);
    // The first body is left unread: finish drops it, the second is read.
    char body[8];
    if (round == 1) {
      EXPECT_EQ(3u, connection.read_body(body, sizeof(body)));
    }
    EXPECT_TRUE(connection.finish()) << round;
  }
  close(fds[1]);
}

}  // namespace
