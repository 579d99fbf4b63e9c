// Opening the files of the output actions by their composed path texts, and the
// piecewise copy of one text file into another. Every path goes through the
// path map; the caller owns the streams and closes them when done.
#pragma once

#include <fstream>
#include <iosfwd>
#include <string>

// Opens an existing regular file for reading. A directory, a missing or an
// unreadable file leaves `in` closed and gives false.
bool open_text_for_reading(const std::string& composed_path, std::ifstream& in);

// Opens the file for appending, creating it when missing.
bool open_text_for_append(const std::string& composed_path, std::ofstream& out);

// Opens the file for writing, creating it when missing and emptying it
// otherwise.
bool open_text_for_writing(const std::string& composed_path, std::ofstream& out);

// Copies the rest of `in` to `out` unchanged, in pieces of at most 1499
// characters.
void copy_text_pieces(std::istream& in, std::ostream& out);
