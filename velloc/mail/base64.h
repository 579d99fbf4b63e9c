// Base64 as mail uses it (RFC 2045 alphabet, "=" padding): groups, one-line texts
// for encoded-words and SMTP logins. Pure functions; line breaking is the
// caller's.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The four base64 characters of a group of one to three bytes, "=" padded.
std::string encode_base64_group(const unsigned char* bytes, std::size_t count);
// The same written to out[0..3].
void append_base64_group(const unsigned char* bytes, std::size_t count, char* out);

// The bytes in base64, "=" padded, on one line.
std::string base64_text(std::string_view bytes);
