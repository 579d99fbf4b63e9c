// The private key of a DKIM signature, read from its PEM file (PKCS#8 as
// `openssl genpkey` writes it, or PKCS#1 for RSA as `opendkim-genkey` does) with the
// checks that make it fit to sign: the file belongs to the user velloc runs as and no
// one else may read or write it, the key is of the expected type, and an RSA key has
// at least 2048 bits.
#pragma once

#include <optional>
#include <string>

enum class DkimKeyType { kRsa, kEd25519 };

// The smallest RSA key that signs.
inline constexpr int kMinDkimRsaBits = 2048;

// The PEM text of the key in `path`, or nullopt with `*error` saying what is wrong
// with it and what to change ("the DKIM key file /k.pem may be read by others
// (mode 0644): make it 0600 or 0400").
std::optional<std::string> read_dkim_key(const std::string& path, DkimKeyType type,
                                         std::string* error);
