// The referer check: a site that lists Referers accepts submissions only from pages
// on those hosts.
#pragma once

#include <string>

struct Run;

// Step 5: true when the request may proceed. Without a Referer, the Origin header
// (other than "null") stands for the referring page.
bool check_referer(const Run& run);
// The host piece of a referer: the authority of an "http" or "https" address (any
// port or user part stays in it), up to the first "/", "?" or "#", looking at the
// first 1999 characters only. Empty for every other form, which no browser sends
// from a form page: another scheme, no scheme, a leading blank, an empty authority.
std::string referer_host(const std::string& referer);
