#include "velloc/guard/spamd_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

TEST(SpamdClient, SpamCheckSetting) {
  struct Case {
    std::string setting;
    bool valid;
    std::string host;
    std::string port;
  };
  // clang-format off
  const Case cases[] = {
      {"spamd:127.0.0.1:783", true, "127.0.0.1", "783"}, {" SPAMD:filter.example:7830 ", true, "filter.example", "7830"},
      {"spamd:[::1]:783", true, "::1", "783"}, {"spamd:::1:783", true, "::1", "783"},
      {"spamd:host", false, "", ""}, {"spamd::783", false, "", ""}, {"spamd:host:0", false, "", ""},
      {"spamd:host:65536", false, "", ""}, {"spamd:host:78x", false, "", ""}, {"spamd:host:", false, "", ""},
      {"rspamd:host:783", false, "", ""}, {"", false, "", ""}, {"127.0.0.1:783", false, "", ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::optional<SpamdAddress> address = parse_spam_check(c.setting);
    ASSERT_EQ(c.valid, address.has_value()) << c.setting;
    if (!address) continue;
    EXPECT_EQ(c.host, address->host) << c.setting;
    EXPECT_EQ(c.port, address->port) << c.setting;
  }
}

TEST(SpamdClient, CheckRequestCountsTheMessageBytes) {
  EXPECT_EQ("CHECK SPAMC/1.5\r\nContent-length: 14\r\n\r\nSubject: x\n\nb\n",
            spamc_check_request("Subject: x\n\nb\n"));
}

// A message over the limit is scored on its first part, never skipped.
TEST(SpamdClient, ScoredPartOfALargeMessage) {
  const std::pair<std::string, std::string> cases[] = {
      {"Subject: x\n\nbody\n", "Subject: x\n\nbody\n"},
      {"Subject: x\n\nbody\npadding", "Subject: x\n\nbody\npad"},
      {"Subject: x\n\nbody\n\xE2\x82\xAC\xE2\x82\xAC", "Subject: x\n\nbody\n\xE2\x82\xAC"},
      {"Subject: x\n\nbody\n\xE2\x82\xE2\x82\xAC", "Subject: x\n\nbody\n\xE2\x82"},
      {std::string(23, '\x80'), std::string(20, '\x80')},
  };
  for (const auto& [message, scored] : cases)
    EXPECT_EQ(scored, scored_part(message, 20)) << message;
  std::string large(kMaxScoredBytes + 1, 'x');
  EXPECT_EQ(kMaxScoredBytes, scored_part(large).size());
}

TEST(SpamdClient, Replies) {
  struct Case {
    std::string reply;
    std::optional<double> score;
    std::string error;
  };
  // clang-format off
  const Case cases[] = {
      {"SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1000.0 / 5.0\r\n\r\n", 1000.0, ""},
      {"SPAMD/1.1 0 EX_OK\r\nContent-length: 0\r\nspam: False ; -1.9 / 5.0\r\n\r\n", -1.9, ""},
      {"SPAMD/1.5 0 EX_OK\nSpam: No ; 2.5 / 5.0\n\n", 2.5, ""},
      {"SPAMD/1.0 76 Bad header line: x\r\n", std::nullopt, "answered \"SPAMD/1.0 76 Bad header line: x\""},
      {"", std::nullopt, "no answer"},
      {"SPAMD/1.1 0 EX_OK\r\n\r\nSpam: True ; 9.0 / 5.0\r\n", std::nullopt, "no score in the answer"},
      {"SPAMD/1.1 0 EX_OK\r\nSpam: True ; many / 5.0\r\n\r\n", std::nullopt,
       "unreadable score line \"Spam: True ; many / 5.0\""},
      {"SPAMD/1.1 0 EX_OK\r\nSpam: True\r\n\r\n", std::nullopt, "unreadable score line \"Spam: True\""},
      {"HTTP/1.1 200 OK\r\n\r\n", std::nullopt, "answered \"HTTP/1.1 200 OK\""},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(c.score, parse_spamd_reply(c.reply, &error)) << c.reply;
    EXPECT_EQ(c.error, error) << c.reply;
  }
}

// A filter that takes the connection and never answers costs the budget, no more.
TEST(SpamdClient, SilentFilterEndsWithinTheBudget) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), length));
  ASSERT_EQ(0, listen(listener, 4));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
  std::string port = std::to_string(ntohs(address.sin_port));
  auto start = std::chrono::steady_clock::now();
  std::string error;
  EXPECT_FALSE(spamd_score({"127.0.0.1", port}, "Subject: x\n\nhello\n", 300, &error));
  EXPECT_EQ("no answer from 127.0.0.1:" + port + " in time", error);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  close(listener);
  // Nobody listens there any more.
  EXPECT_FALSE(spamd_score({"127.0.0.1", port}, "x", 300, &error));
  EXPECT_EQ("cannot connect to 127.0.0.1:" + port, error);
}

}  // namespace
