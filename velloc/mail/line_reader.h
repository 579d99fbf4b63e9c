// Reads text files the way the mail files are read: line by line through a fixed
// buffer, so that a line longer than the buffer arrives in pieces, each piece
// treated as a line of its own. The stream is owned by the caller.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

// Reads up to `max_chars` characters into `piece`, stopping after a line feed.
// Returns false when nothing was read (end of input).
bool read_line_piece(std::istream& input, std::size_t max_chars, std::string& piece);

// Header and body lines: a buffer of 2000 characters (1999 used).
inline constexpr std::size_t kMaxFileLine = 1999;
