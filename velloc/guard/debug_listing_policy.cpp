#include "velloc/guard/debug_listing_policy.h"

#include <array>

#include "platform/text.h"

namespace {

// The meta-variables of a CGI request, and the decoded form data that request
// decoding adds beside QUERY_STRING.
constexpr std::array<std::string_view, 18> kRequestVariables = {
    "AUTH_TYPE",       "CONTENT_LENGTH",        "CONTENT_TYPE", "GATEWAY_INTERFACE",
    "PATH_INFO",       "PATH_TRANSLATED",       "QUERY_STRING", "REMOTE_ADDR",
    "REMOTE_HOST",     "REMOTE_IDENT",          "REMOTE_USER",  "REQUEST_METHOD",
    "SCRIPT_NAME",     "SERVER_NAME",           "SERVER_PORT",  "SERVER_PROTOCOL",
    "SERVER_SOFTWARE", "QUERY_STRING_UNESCAPED"};

constexpr std::string_view kHeaderPrefix = "HTTP_";

}  // namespace

bool may_list_variable(std::string_view name) {
  if (name.size() > kHeaderPrefix.size() &&
      platform::equal_ignoring_case(name.substr(0, kHeaderPrefix.size()), kHeaderPrefix))
    return true;
  for (std::string_view allowed : kRequestVariables)
    if (platform::equal_ignoring_case(name, allowed)) return true;
  return false;
}

bool answers_with_debug_listing(bool allow_debug, const CgiRequest& request) {
  return allow_debug && request.field_is_set("DEBUG_VARIABLES");
}
