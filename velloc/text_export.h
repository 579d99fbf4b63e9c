// Step 9: one record per submission appended to a text file, directly or through a
// work file from which the destination is rebuilt between a header and a footer.
#pragma once

#include <string>

struct Run;

bool export_text_file(Run& run);

// The path of a text-file template value: empty stays empty, a value with a
// backslash or beginning with "/" is used as written, otherwise the template's
// directory is put in front.
std::string resolve_relative_path(const std::string& value, const std::string& template_path);
