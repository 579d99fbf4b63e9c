// Opening the files of the output actions by their composed path texts, and the
// piecewise copy of one text file into another. Every path goes through the
// path map; the caller owns the streams and closes them when done.
#pragma once

#include <fstream>
#include <iosfwd>
#include <string>
#include <string_view>

// Opens an existing regular file (a template or a text file) for reading. A
// directory, device or pipe counts as a file that cannot be opened, as do a
// missing and an unreadable file: `in` stays closed and the result is false.
bool open_text_for_reading(std::string_view composed_path, std::ifstream& in);

// True when open_text_for_reading would succeed.
bool can_open_for_reading(std::string_view composed_path);

// Opens the file for appending, creating it when missing.
bool open_text_for_append(const std::string& composed_path, std::ofstream& out);

// Opens the file for writing, creating it when missing and emptying it
// otherwise.
bool open_text_for_writing(const std::string& composed_path, std::ofstream& out);

// Copies the rest of `in` to `out` unchanged, in pieces of at most 1499
// characters.
void copy_text_pieces(std::istream& in, std::ostream& out);
