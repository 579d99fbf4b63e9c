// How the template engine writes the values of field and environment references:
// as stored, escaped for an HTML page, or as one quoted value of a CSV record.
// The caller of an expansion chooses; the templates it includes write alike.
#pragma once

#include <string>
#include <string_view>

enum class ValueEscape { kNone, kHtml, kCsv };

// kNone: unchanged. kHtml: & < > " ' as character references. kCsv: enclosed in
// double quotes with each double quote doubled, and a ' in front of a value that
// begins, after any blanks, with =, +, -, @, their fullwidth forms, |, a tab, a
// carriage return or a line feed, so that a spreadsheet does not read it as a formula.
std::string escape_value(std::string_view value, ValueEscape escape);

// The ESCAPE key of a text-file template: "HTML" or "CSV" (any case); anything
// else, "NONE" included, writes values unchanged.
ValueEscape parse_value_escape(std::string_view setting);
