#include "platform/child_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ChildEnvironment, OnlyTheListedVariablesPass) {
  // clang-format off
  const char* environment[] = {
      "PATH=/usr/bin:/bin", "HTTP_PROXY=http://evil.test:3128", "HOME=/var/www",
      "GNUPGHOME=/srv/keys", "QUERY_STRING=a=1", "LANG=de_DE.UTF-8", "LANGUAGE=de", "LC_ALL=C",
      "LC_=x", "LCX=x", "TZ=UTC", "TZDIR=/x", "REMOTE_ADDR=192.0.2.1", "PATH_INFO=/x",
      "path=/tmp", "HOMEPATH", nullptr};
  // clang-format on
  const std::vector<std::string> kept = {"PATH=/usr/bin:/bin",
                                         "HOME=/var/www",
                                         "GNUPGHOME=/srv/keys",
                                         "LANG=de_DE.UTF-8",
                                         "LANGUAGE=de",
                                         "LC_ALL=C",
                                         "TZ=UTC"};
  EXPECT_EQ(kept, platform::helper_environment(environment));
  EXPECT_TRUE(platform::helper_environment(nullptr).empty());
}

}  // namespace
