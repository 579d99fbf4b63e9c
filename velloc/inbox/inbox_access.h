// Who may see the site owner's inbox and how its actions are guarded: pure
// decisions over the request's values and the inbox settings. The web server
// authenticates the user (REMOTE_USER); velloc only checks the name against
// InboxUsers. Actions carry a token bound to the user, the action and the site's
// secret, and must come from a page of the inbox's own origin.
#pragma once

#include <string>
#include <string_view>

// Whether `path_info` is the inbox's: "/inbox" or anything below "/inbox/".
bool is_inbox_path(std::string_view path_info);

enum class InboxAccess {
  kAllowed,
  kNoUser,     // the web server authenticated nobody
  kNotListed,  // InboxUsers does not name the user
};

// `users`: names separated by commas or blanks, or "*" for every authenticated
// user. Names are compared exactly, as the web server gives them.
InboxAccess decide_inbox_access(std::string_view users, std::string_view remote_user);

// The path below the inbox that `action` on the submission or delivery (`kind`)
// `id` is posted to: "submission/ID/release", "delivery/ID/retry", ...; the
// scope its token is bound to.
std::string action_scope(std::string_view kind, std::string_view id, std::string_view action);

// The token of an action for `user`: HMAC-SHA256 keyed with `secret` over the
// user's name and `scope` (the action's path below the inbox), 64 hex digits.
std::string inbox_token(std::string_view secret, std::string_view user, std::string_view scope);

// A new secret for the inbox's tokens when the settings give none: 32 bytes from
// the kernel's random source as 64 hex digits; empty when the kernel gives none.
std::string new_inbox_secret();

// What a request to run an action has to show for itself.
struct ActionRequest {
  std::string_view user;
  std::string_view scope;
  std::string_view token;    // the form's "token"
  std::string_view origin;   // HTTP_ORIGIN
  std::string_view referer;  // HTTP_REFERER, looked at when there is no Origin
  std::string_view own_origin;
};

enum class ActionCheck {
  kAllowed,
  kNoSecret,       // no secret (InboxSecret, or one kept in the state store): no action
  kBadToken,       // missing, or not the one made for this user and action
  kForeignOrigin,  // neither Origin nor Referer is the inbox's origin
};

// The token compared in constant time; the origin without regard to case.
ActionCheck check_action(std::string_view secret, const ActionRequest& request);

// "scheme://host" of the inbox: https when HTTPS is set (other than "off") or
// REQUEST_SCHEME says so, the host as HTTP_HOST gives it.
std::string own_origin(std::string_view https, std::string_view request_scheme,
                       std::string_view host);
