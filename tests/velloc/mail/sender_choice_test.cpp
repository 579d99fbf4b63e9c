#include "velloc/mail/sender_choice.h"

#include <gtest/gtest.h>

#include "velloc/doctor/doctor.h"

namespace {

// Who the mail is from, who replies go to, and whether From's domain aligns with the
// site's (DEFAULTSENDER's), which is the domain whose records authenticate the mail.
TEST(SenderChoice, FromReplyToAndAlignment) {
  struct Case {
    const char* wanted;
    bool reply_to_wanted;
    const char* from;
    const char* reply_to;
    bool aligned;
  };
  const Case cases[] = {
      {"visitor@mail.test", false, "visitor@mail.test", "", false},
      {"visitor@mail.test", true, "forms@site.test", "visitor@mail.test", true},
      {"VellocPro", false, "forms@site.test", "", true},
      {"VellocPro", true, "forms@site.test", "", true},
      {"", false, "forms@site.test", "", true},
      {"a@b@site.test", true, "forms@site.test", "", true},
      {"@site.test", false, "forms@site.test", "", true},
      {"visitor@", false, "forms@site.test", "", true},
      {"visitor@mail..test", false, "forms@site.test", "", true},
      {"visitor@-x/.test", false, "forms@site.test", "", true},
      {"visitor@localhost", false, "visitor@localhost", "", false},
      {"jo@b\xc3\xbc"
       "cher.test",
       false,
       "jo@b\xc3\xbc"
       "cher.test",
       "", false},
      {"noreply@News.Site.Test.", false, "noreply@News.Site.Test.", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wanted);
    SenderChoice sender = choose_sender(c.wanted, "forms@site.test", c.reply_to_wanted);
    EXPECT_EQ(c.from, sender.from);
    EXPECT_EQ(c.reply_to, sender.reply_to);
    EXPECT_EQ(c.aligned,
              domains_align(address_domain(sender.from), address_domain("forms@site.test"), false));
  }
  EXPECT_FALSE(domains_align("news.site.test", "site.test", true));
  EXPECT_EQ("co.uk", organisational_domain("shop.example.co.uk"));
}

}  // namespace
