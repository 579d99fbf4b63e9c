// Which names a form may give its page, mail and receipt templates. A name that
// ends in ".ini" (any case) names a settings file (the program's own, or a
// database or text-file template with its credentials), never a page to show or a
// text to mail, so such a template counts as one that cannot be opened.
#pragma once

#include <string_view>

// False for a name ending in ".ini", judged on the text up to its first NUL byte
// (all that a file name can hold).
bool form_template_name_allowed(std::string_view name);
