// Whether a webhook address may be called: HTTPS always, plain HTTP only to this
// machine (127.0.0.0/8, ::1, localhost) unless the site allows it everywhere
// (WebhookAllowPlain=1); every other scheme never. A pure decision over the text
// of the address; nothing is resolved.
#pragma once

#include <string>
#include <string_view>

struct WebhookTarget {
  bool allowed = false;
  bool plain = false;   // http rather than https
  std::string shown;    // the address as logs show it: no user, password or query
  std::string refusal;  // why it is not allowed; empty when it is
};

WebhookTarget decide_webhook_target(std::string_view url, bool allow_plain);

// The address without the user and password of its authority and without its query
// and fragment ("?..." stands for them), which often carry credentials of their own.
std::string url_without_credentials(std::string_view url);

// True for "localhost" (any case), a dotted IPv4 address in 127.0.0.0/8 and the IPv6
// loopback address in brackets.
bool is_loopback_host(std::string_view host);
