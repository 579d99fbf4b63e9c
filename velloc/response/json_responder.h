// The JSON responder: writes a run's Answer as one JSON object with the HTTP
// status a script acts on, for forms posted from scripts (Run::answer_format).
// Beside the HTML responder; one of the two writes each response.
#pragma once

#include <iosfwd>

#include "velloc/answer.h"
#include "velloc/request/cgi_request.h"

class MessageCatalogue;

// Accepted submissions answer 200 with {"ok": true} and what the page would have
// shown ("receipt", "next", "html"); refusals their status with "error" and a
// plain-text "message"; the debug listing the request's fields and listed
// environment. The status goes on a CGI "Status:" line; FULLHEAD plays no part.
// Each "message" is in the language of `words` (null: English).
void write_json_answer(std::ostream& out, const Answer& answer, const CgiRequest& request,
                       const MessageCatalogue* words = nullptr);
