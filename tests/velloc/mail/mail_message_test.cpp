#include "velloc/mail/mail_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(MailMessage, InitResetsAUsedRecordAndTakesTheHostName) {
  MailMessage message;
  message.header_file = "h";
  message.smtp_port = 2525;
  message.connect_timeout = 1;
  EXPECT_EQ(1, init_mail_message(message, "host.example", "/var/tmp/"));
  EXPECT_EQ("", message.header_file);
  EXPECT_EQ(25u, message.smtp_port);
  EXPECT_EQ(30, message.connect_timeout);
  EXPECT_EQ("host.example", message.local_host);
  EXPECT_EQ("/var/tmp/", message.system_temp_dir);
}

}  // namespace
