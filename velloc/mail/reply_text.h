// The text an attempt keeps as its evidence: what the relay or the web server
// answered (its final reply line, its status line) or why no answer came. It is
// shown on terminals and pages and stored in any database, so it is kept short,
// as valid UTF-8 and without control characters. Pure functions, no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Bytes kept of a reply at most, escapes included.
inline constexpr std::size_t kMaxReplyText = 512;

// `text` with its line end dropped, each control character and each byte that
// starts no well-formed UTF-8 sequence written as "\x1b" or "\u202e", cut at
// a whole character or escape to at most kMaxReplyText bytes.
std::string reply_text(std::string_view text);

// reply_text of the last of a reply's lines; empty when there are none.
std::string final_reply_line(const std::vector<std::string>& lines);
