#include "velloc/guard/debug_listing_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(DebugListingPolicy, OnlyTheRequestsOwnVariables) {
  const std::pair<const char*, bool> cases[] = {
      {"AUTH_TYPE", true},
      {"CONTENT_LENGTH", true},
      {"CONTENT_TYPE", true},
      {"GATEWAY_INTERFACE", true},
      {"PATH_INFO", true},
      {"PATH_TRANSLATED", true},
      {"QUERY_STRING", true},
      {"REMOTE_ADDR", true},
      {"REMOTE_HOST", true},
      {"REMOTE_IDENT", true},
      {"REMOTE_USER", true},
      {"REQUEST_METHOD", true},
      {"SCRIPT_NAME", true},
      {"SERVER_NAME", true},
      {"SERVER_PORT", true},
      {"SERVER_PROTOCOL", true},
      {"SERVER_SOFTWARE", true},
      {"QUERY_STRING_UNESCAPED", true},
      {"HTTP_REFERER", true},
      {"HTTP_USER_AGENT", true},
      {"remote_addr", true},
      {"DB_PASSWORD", false},
      {"GNUPGHOME", false},
      {"ODBCINI", false},
      {"SCRIPT_FILENAME", false},
      {"DOCUMENT_ROOT", false},
      {"PATH", false},
      {"HTTP_", false},
      {"HTTPS", false},
      {"SERVER_NAME_X", false},
      {"XHTTP_HOST", false},
      {"", false},
  };
  for (const auto& [name, listed] : cases) EXPECT_EQ(listed, may_list_variable(name)) << name;
}

}  // namespace
