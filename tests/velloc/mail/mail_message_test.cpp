#include "velloc/mail/mail_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(MailMessage, InitSetsEveryDefault) {
  MailMessage message;
  message.header_file = "h";
  message.log_level = 15;
  message.smtp_port = 2525;
  message.connect_timeout = 1;
  EXPECT_EQ(1, init_mail_message(message));
  EXPECT_EQ("", message.header_file);
  EXPECT_EQ("", message.body_file);
  EXPECT_EQ("NUL", message.log_file);
  EXPECT_EQ(1, message.log_level);
  EXPECT_EQ("", message.recipient_file);
  EXPECT_EQ("mailhost", message.smtp_server);
  EXPECT_EQ(25u, message.smtp_port);
  EXPECT_EQ(".", message.temp_dir);
  EXPECT_EQ("", message.default_sender);
  EXPECT_EQ(30, message.connect_timeout);
  EXPECT_EQ("text/plain", message.content_type);
  EXPECT_EQ("7bit", message.transfer_encoding);
  EXPECT_EQ("us-ascii", message.charset);
  char host[kMaxMailField + 1] = {};
  ASSERT_EQ(0, gethostname(host, sizeof host - 1));
  EXPECT_EQ(host, message.local_host);
}

}  // namespace
