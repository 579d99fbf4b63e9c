// The header lines of cross-origin answers, written the same by every responder:
// which origin may read the answer and, for a preflight, what it may send.
#pragma once

#include <iosfwd>

#include "velloc/answer.h"

// Nothing when the answer has no `allow_origin`. Otherwise
// "Access-Control-Allow-Origin: <origin>", for an allowed preflight also the
// methods, the headers it allows (when any) and "Access-Control-Max-Age: 600",
// then "Vary: Origin"; each line ends in "\n".
void write_cors_headers(std::ostream& out, const Answer& answer);

// The whole answer to a preflight, whatever format the run answers in: an allowed one
// (status 204) has its CORS headers and no body; a refused one is a bare 403.
void write_preflight_answer(std::ostream& out, const Answer& answer);

// A new challenge, in whatever format the run answers: its JSON with the CORS
// headers, never kept by a cache.
void write_challenge_answer(std::ostream& out, const Answer& answer);
