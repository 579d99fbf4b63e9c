// The head of every page the program composes itself, and the one-line-per-field
// listing in SORTORDER order used by the default page and the plain mails.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/request/cgi_request.h"

enum class Escape { kNone, kHtml };

// Optional status line, `header_lines` (each ending in "\n"), content type,
// "<HTML>" and the BODY tag with the form's colours and background image (values
// HTML-escaped).
bool write_page_head(std::ostream& out, const CgiRequest& request,
                     std::string_view content_type = "text/html",
                     std::string_view header_lines = {});

// Names that a listing without SORTORDER leaves out besides the control fields;
// empty: none.
using LeftOutFields = std::function<bool(std::string_view name)>;

// One `line_format` line (two "%s": name, value) per listed field: SORTORDER's
// names in order, a name repeated (in any case) listed at its first place only, or
// every field but the control fields (and those `left_out` names) in map order.
bool write_field_list(std::ostream& out, const CgiRequest& request, std::string_view line_format,
                      Escape escape, const LeftOutFields& left_out = {});

// Calls visit(name, value) for each field that write_field_list lists, in its order.
void for_each_listed_field(
    const CgiRequest& request,
    const std::function<void(std::string_view name, std::string_view value)>& visit,
    const LeftOutFields& left_out = {});

// True for the eleven presentation and routing fields left out of the listing.
bool is_control_field(std::string_view name);

// Splits a name list at commas and spaces (runs count as one separator), from a
// working copy of at most 1999 characters.
std::vector<std::string> split_name_list(std::string_view list);
