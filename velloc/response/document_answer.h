// An answer whose body stands as it is (a health document, the metrics, a 404): its
// status, type and body, never cached, whatever format the request asked for.
#pragma once

#include <iosfwd>

#include "velloc/answer.h"

void write_document_answer(std::ostream& out, const Answer& answer);
