// Small text helpers shared by both programs: splitting at runs of separators,
// trimming, comparing names without regard to the case of ASCII letters, and
// percent-encoding.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// The pieces of `text` between runs of any of `separators`; no piece is empty.
std::vector<std::string> split_at(std::string_view text, std::string_view separators);

// `text` without leading and trailing `characters`.
std::string_view trim(std::string_view text, std::string_view characters = kWhiteSpace);

// True when a and b differ at most in the case of the letters A to Z.
bool equal_ignoring_case(std::string_view a, std::string_view b);

// `text` for a path segment, a query value or a form-encoded value: every byte
// but letters, digits and "-._~" (RFC 3986's unreserved characters) as %XX.
std::string percent_encode(std::string_view text);

}  // namespace platform
