// Opening a template named by a composed path (backslashes, any letter case)
// for reading. Only regular files open: a directory, a device or a pipe counts
// as a template that cannot be opened, as it would on the system the forms were
// written for. The caller owns the stream and closes it when done.
#pragma once

#include <fstream>
#include <string_view>

// Opens `composed_path` through the path mapping into `file`; false when the
// path is empty, is not a regular file or cannot be read.
bool open_template_file(std::string_view composed_path, std::ifstream& file);
