#include "velloc/mail/mail_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(MailMessage, InitResetsAUsedRecordAndTakesTheHostName) {
  MailMessage message;
  message.header_file = std::string("h");
  message.smtp_port = 2525;
  message.connect_timeout = 1;
  EXPECT_EQ(1, init_mail_message(message));
  EXPECT_EQ("", message.header_file);
  EXPECT_EQ(25u, message.smtp_port);
  EXPECT_EQ(30, message.connect_timeout);
  char host[kMaxMailField + 1] = {};
  ASSERT_EQ(0, gethostname(host, sizeof host - 1));
  EXPECT_EQ(host, message.local_host);
}

}  // namespace
