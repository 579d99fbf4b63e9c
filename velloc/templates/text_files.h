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

enum class TextWrite {
  kWritten,
  kNotOpened,   // missing folder, no permission, or refused (errno ELOOP, EINVAL, EMLINK)
  kNotWritten,  // opened, but the file took not all of it (disk full, size limit)
};

// Appends `text` to the file with one write, creating the file when missing. The name is
// never followed when it is a link, and a file that is not regular or has other hard
// links is refused. A failed write takes back what it wrote, so the file never ends
// in part of `text`. errno is set when the result is not kWritten.
TextWrite append_text(const std::string& composed_path, const std::string& text);
// The same through `fd`, a file already opened for appending as above (kept open).
TextWrite append_text_at(int fd, const std::string& text);

// Replaces the file's contents by `text` through a new file beside it renamed into
// place; refuses what append_text() refuses.
TextWrite replace_text(const std::string& composed_path, const std::string& text);

// Whether a file that was not opened was refused as a link, a second name or a
// non-regular file, rather than missing or forbidden.
bool refused_as_unsafe(int error);

// Copies the rest of `in` to `out` unchanged, in pieces of at most 1499
// characters.
void copy_text_pieces(std::istream& in, std::ostream& out);

// The path of a text-file template value: empty stays empty, a value with a
// backslash or beginning with "/" is used as written, otherwise the template's
// directory is put in front.
std::string resolve_relative_path(const std::string& value, const std::string& template_path);
