// The HTML responder: writes a run's Answer to the response as the CGI program's
// pages, headers and redirects. The only writer of the response stream.
#pragma once

#include <iosfwd>
#include <string_view>

#include "velloc/answer.h"
#include "velloc/request/cgi_request.h"

class MessageCatalogue;

// `content_type` is the site's HTML type (with its character set); the request
// gives the page head's colours, FULLHEAD and the fields a listing shows. The fixed
// texts come from `words`, the visitor's language (null: English).
void write_html_answer(std::ostream& out, const Answer& answer, const CgiRequest& request,
                       std::string_view content_type, const MessageCatalogue* words = nullptr);
