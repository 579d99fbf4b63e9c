// A secret of the site that no setting gives: made once from the kernel's random
// bytes and kept in the state store, so that every process sharing the store signs
// with the same one (the inbox's action tokens, the confirmation links).
#pragma once

#include <optional>
#include <string>

class Site;

// The secret kept under `name` in the state store of `connection`, made on first use;
// nullopt with `*error` set (and the store marked failed when it answered wrongly)
// when it cannot be had.
std::optional<std::string> kept_site_secret(Site& site, const std::string& connection,
                                            const std::string& name, std::string* error);
