// How the template engine writes the values of field and environment references:
// as stored, escaped for an HTML page, as one quoted value of a CSV record, or as
// the inside of a JSON string.
// The caller of an expansion chooses; the templates it includes write alike.
#pragma once

#include <string>
#include <string_view>

enum class ValueEscape { kNone, kHtml, kCsv, kJson };

// kNone: unchanged. kHtml: & < > " ' as character references. kCsv: enclosed in
// double quotes with each double quote doubled, and a ' in front of a value that
// begins, after any blanks, with =, +, -, @, their fullwidth forms, |, a tab, a
// carriage return or a line feed, so that a spreadsheet does not read it as a formula.
// kJson: what goes between the quotes of a JSON string (json_writer.h): quotes,
// backslashes, control characters, < > & escaped, bytes that are not UTF-8 as U+FFFD.
std::string escape_value(std::string_view value, ValueEscape escape);

// The ESCAPE key of a text-file template: "HTML", "CSV" or "JSON" (any case); anything
// else, "NONE" included, writes values unchanged.
ValueEscape parse_value_escape(std::string_view setting);
