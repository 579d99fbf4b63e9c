#include "velloc/guard/debug_listing_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(DebugListingPolicy, OnlyTheRequestsOwnVariables) {
  const std::pair<const char*, bool> cases[] = {
      {"AUTH_TYPE", true},      {"SERVER_SOFTWARE", true}, {"QUERY_STRING_UNESCAPED", true},
      {"HTTP_REFERER", true},   {"remote_addr", true},     {"DB_PASSWORD", false},
      {"GNUPGHOME", false},     {"ODBCINI", false},        {"SCRIPT_FILENAME", false},
      {"DOCUMENT_ROOT", false}, {"PATH", false},           {"HTTP_", false},
      {"SERVER_NAME_X", false}, {"XHTTP_HOST", false},     {"", false},
  };
  for (const auto& [name, listed] : cases) EXPECT_EQ(listed, may_list_variable(name)) << name;
}

}  // namespace
