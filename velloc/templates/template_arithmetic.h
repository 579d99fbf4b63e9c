// The arithmetic directive of the template language: "#target op a b#" computes
// a value from form fields and numbers and stores it, formatted "%4.2f", into
// the request's fields under the upper-cased target name. Nothing is written.
#pragma once

#include <string>
#include <string_view>

#include "velloc/request/cgi_request.h"

// Evaluates the text between the two number signs and stores the result.
void apply_arithmetic(std::string_view argument, CgiRequest& request);

// The decimal number at the start of `text` (white space, sign, digits,
// optional fraction and exponent); 0 when the text does not begin with one.
// Infinity and "nan" spellings and hexadecimal forms are not numbers here.
double parse_leading_double(std::string_view text);

// "%4.2f" of `value`; infinities and NaN come out as printf spells them.
std::string format_amount(double value);
