#include "velloc/inbox/inbox_access.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(InboxAccessTest, WhoMaySeeTheInbox) {
  struct Case {
    const char* path;
    const char* users;
    const char* user;
    bool inbox_path;
    InboxAccess access;
  };
  const Case cases[] = {
      {"/inbox", "ann", "ann", true, InboxAccess::kAllowed},
      {"/inbox/submission/x", "bob, ann", "ann", true, InboxAccess::kAllowed},
      {"/inbox/", "bob\tann", "ann", true, InboxAccess::kAllowed},
      {"/inboxes", "*", "ann", false, InboxAccess::kAllowed},
      {"/Inbox", "*", "carl", false, InboxAccess::kAllowed},
      {"/inbox", "ann", "", true, InboxAccess::kNoUser},
      {"/inbox", "*", "", true, InboxAccess::kNoUser},
      {"/inbox", "ann", "Ann", true, InboxAccess::kNotListed},
      {"/inbox", "anna", "ann", true, InboxAccess::kNotListed},
      {"/inbox", "", "ann", true, InboxAccess::kNotListed},
      {"/inbox", "ann,*x", "bob", true, InboxAccess::kNotListed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.inbox_path, is_inbox_path(c.path)) << c.path;
    EXPECT_EQ(c.access, decide_inbox_access(c.users, c.user)) << c.users << " / " << c.user;
  }
}

// HMAC-SHA256 over "<length of the name>:<name><scope>", as Python's hmac gives it.
TEST(InboxAccessTest, TokensAreKeyedHashesOfUserAndScope) {
  EXPECT_EQ("9c714da5ad4e36ed6e2ec25cce677dcdb4c8379775c3fb4199b46c5c0e20e0a4",
            inbox_token("s3cret", "ann", "submission/x/delete"));
  // A key longer than the hash's block is hashed first.
  EXPECT_EQ("3f5885854b805d2598ee38d8e319916521715cd8ff201388b1b8018560eecc88",
            inbox_token(std::string(100, 'k'), "", "delivery/d/retry"));
}

TEST(InboxAccessTest, AnActionNeedsItsTokenAndTheInboxsOrigin) {
  const std::string good = inbox_token("s3cret", "ann", "submission/x/delete");
  const std::string own = "https://forms.example";
  struct Case {
    const char* name;
    const char* secret;
    const char* user;
    const char* scope;
    std::string token;
    const char* origin;
    const char* referer;
    ActionCheck expected;
  };
  const Case cases[] = {
      {"allowed", "s3cret", "ann", "submission/x/delete", good, "https://forms.example", "",
       ActionCheck::kAllowed},
      {"origin in other case", "s3cret", "ann", "submission/x/delete", good,
       "HTTPS://Forms.Example", "", ActionCheck::kAllowed},
      {"referer without origin", "s3cret", "ann", "submission/x/delete", good, "",
       "https://forms.example/cgi-bin/velloc/inbox?q=1", ActionCheck::kAllowed},
      {"no secret", "", "ann", "submission/x/delete", good, "https://forms.example", "",
       ActionCheck::kNoSecret},
      {"no token", "s3cret", "ann", "submission/x/delete", "", "https://forms.example", "",
       ActionCheck::kBadToken},
      {"another user's", "s3cret", "bob", "submission/x/delete", good, "https://forms.example", "",
       ActionCheck::kBadToken},
      {"another action's", "s3cret", "ann", "submission/x/release", good, "https://forms.example",
       "", ActionCheck::kBadToken},
      {"another secret's", "other", "ann", "submission/x/delete", good, "https://forms.example", "",
       ActionCheck::kBadToken},
      {"cut short", "s3cret", "ann", "submission/x/delete", good.substr(0, 63),
       "https://forms.example", "", ActionCheck::kBadToken},
      {"foreign origin", "s3cret", "ann", "submission/x/delete", good, "https://evil.example",
       "https://forms.example/", ActionCheck::kForeignOrigin},
      {"plain http", "s3cret", "ann", "submission/x/delete", good, "http://forms.example", "",
       ActionCheck::kForeignOrigin},
      {"origin longer", "s3cret", "ann", "submission/x/delete", good, "https://forms.example.evil",
       "", ActionCheck::kForeignOrigin},
      {"neither origin nor referer", "s3cret", "ann", "submission/x/delete", good, "", "",
       ActionCheck::kForeignOrigin},
      {"referer elsewhere", "s3cret", "ann", "submission/x/delete", good, "",
       "https://forms.example.evil/inbox", ActionCheck::kForeignOrigin},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected,
              check_action(c.secret, {c.user, c.scope, c.token, c.origin, c.referer, own}))
        << c.name;
}

TEST(InboxAccessTest, TheInboxsOwnOrigin) {
  EXPECT_EQ("https://forms.example", own_origin("on", "", "forms.example"));
  EXPECT_EQ("http://forms.example:8080", own_origin("off", "", "forms.example:8080"));
  EXPECT_EQ("https://forms.example", own_origin("", "https", "forms.example"));
  EXPECT_EQ("http://forms.example", own_origin("", "", "forms.example"));
}

}  // namespace
