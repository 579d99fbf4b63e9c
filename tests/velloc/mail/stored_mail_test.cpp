#include "velloc/mail/stored_mail.h"

#include <gtest/gtest.h>

namespace {

TEST(StoredMailTest, KeptFormReadsBackWhole) {
  const StoredMail mails[] = {
      {"jo@x.test", {"a@x.test", "b@x.test"}, "Subject: Hi\r\n\r\n..\r\nMAIL FROM:<x>\n\n"},
      {"", {"a@x.test"}, ""},  // the null sender, no content
      {"jo@x.test", {}, "x"},
  };
  for (const StoredMail& mail : mails) {
    std::optional<StoredMail> read = decode_stored_mail(encode_stored_mail(mail));
    ASSERT_TRUE(read) << mail.data;
    EXPECT_EQ(mail.sender, read->sender);
    EXPECT_EQ(mail.recipients, read->recipients);
    EXPECT_EQ(mail.data, read->data);
  }
  for (const char* broken :
       {"", "MAIL FROM:<a>\n", "RCPT TO:<a>\n\nx", "MAIL FROM:<a>\nRCPT TO:a\n\n",
        "\nMAIL FROM:<a>\n\n", "MAIL FROM:<a>\nMAIL FROM:<b>\n\n"})
    EXPECT_FALSE(decode_stored_mail(broken)) << broken;
}

TEST(StoredMailTest, MessageIdIsReadFromTheHeaderOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"Subject: Hi\r\nMessage-ID: <a1@x.test>\r\n\r\nbody", "<a1@x.test>"},
      {"message-id:\t<b2@x.test> \r\nTo: o\r\n\r\n", "<b2@x.test>"},
      {"Message-ID: <c3@x.test>", "<c3@x.test>"},
      {"Subject: Hi\r\n\r\nMessage-ID: <in-the-body@x.test>\r\n", ""},
      {"X-Message-ID: <d4@x.test>\r\n\r\n", ""},
      {"Message-IDs: <e5@x.test>\r\n\r\n", ""},
      {"", ""},
  };
  for (const auto& [data, id] : cases) EXPECT_EQ(id, message_id_of(data)) << data;
}

TEST(StoredMailTest, OnlyAFivesRefusalIsPermanent) {
  struct Case {
    SessionResult session;
    int code;
    DeliveryOutcome outcome;
  };
  const Case cases[] = {
      {SessionResult::kSent, 0, DeliveryOutcome::kDelivered},
      {SessionResult::kSenderRefused, 553, DeliveryOutcome::kPermanent},
      {SessionResult::kSenderRefused, 451, DeliveryOutcome::kTemporary},
      {SessionResult::kFailed, 550, DeliveryOutcome::kPermanent},
      {SessionResult::kFailed, 599, DeliveryOutcome::kPermanent},
      {SessionResult::kFailed, 600, DeliveryOutcome::kTemporary},
      {SessionResult::kFailed, 421, DeliveryOutcome::kTemporary},
      {SessionResult::kFailed, 0, DeliveryOutcome::kTemporary},  // no connection
      {SessionResult::kWatchdogExpired, 0, DeliveryOutcome::kTemporary},
      {SessionResult::kNoRecipientList, 0, DeliveryOutcome::kTemporary},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.outcome, classify_mail_attempt({c.session, c.code, ""}))
        << static_cast<int>(c.session) << " " << c.code;
  EXPECT_EQ("SMTP 550 (permanent)", mail_attempt_text({SessionResult::kFailed, 550, ""}));
  EXPECT_EQ("timed out (temporary)", mail_attempt_text({SessionResult::kWatchdogExpired, 0, ""}));
  EXPECT_EQ("not sent (temporary)", mail_attempt_text({SessionResult::kFailed, 0, ""}));
}

}  // namespace
