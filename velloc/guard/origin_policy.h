// Cross-origin requests: whether a page of another origin may post to the form
// and read its answer, as AllowedOrigins (in [Velloc] or the form profile) lists
// origins. Pure decisions over the request's header texts and the setting; the
// steps that act on them are in origin_check.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Where the request was addressed, as the web server tells it.
struct SiteAddress {
  std::string https;           // HTTPS: "on" or "1" (any case) for a secure request
  std::string request_scheme;  // REQUEST_SCHEME, used when HTTPS says nothing
  std::string http_host;       // HTTP_HOST, with its port when not the default
  std::string server_name;     // SERVER_NAME, when there is no HTTP_HOST
  std::string server_port;     // SERVER_PORT, with SERVER_NAME
};

// An origin ("scheme://host" with an optional ":port", nothing after it) in one
// form: scheme and host in lower case, a port without leading zeros, and no port
// when it is the scheme's default (80 for http, 443 for https). Hosts are ASCII
// names (letters, digits, "-", ".", "_") or bracketed IPv6 literals, as browsers
// send them. nullopt for anything else, "null" included.
std::optional<std::string> normalized_origin(std::string_view text);

// The site's own origin in normalised form; empty when the request does not tell.
std::string site_origin(const SiteAddress& site);

enum class OriginDecision {
  kUnchecked,  // AllowedOrigins names nothing, or the request sent no Origin
  kOwn,        // the site's own origin (not listed): a same-origin request
  kAllowed,    // listed, or any origin by "*": answers carry CORS headers
  kRefused,    // AllowedOrigins is set and names neither this origin nor "*"
};

// `allowed_origins` holds entries separated by "," and " ": origins, compared in
// normalised form, and "*" for any origin. An entry that is not an origin matches
// nothing. The origin "null" (sandboxed frames, local files, pages that hide where
// they come from) is allowed only by "*": a list entry cannot name it, since every
// such page on any site would share it.
OriginDecision decide_origin(std::string_view origin, std::string_view allowed_origins,
                             std::string_view own_origin);

// The request headers a preflight is told it may send: those of the comma-separated
// `requested` list that are Content-Type or Accept (any case), as they were written
// and in their order, each once, joined with ", ". Empty when none is.
std::string preflight_allowed_headers(std::string_view requested);
