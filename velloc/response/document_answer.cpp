#include "velloc/response/document_answer.h"

#include <ostream>
#include <string_view>

#include "velloc/response/http_status.h"

void write_document_answer(std::ostream& out, const Answer& answer) {
  out << "Status: " << answer.status << ' ' << http_status_text(answer.status) << "\n"
      << "Content-Type: " << answer.content_type << "\n"
      << "Cache-Control: no-store\n"
      << "X-Content-Type-Options: nosniff\n\n"
      << answer.body;
}
