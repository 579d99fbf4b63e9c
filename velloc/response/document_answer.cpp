#include "velloc/response/document_answer.h"

#include <ostream>
#include <string_view>

namespace {

std::string_view reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 404:
      return "Not Found";
    case 503:
      return "Service Unavailable";
    default:
      return "Internal Server Error";
  }
}

}  // namespace

void write_document_answer(std::ostream& out, const Answer& answer) {
  out << "Status: " << answer.status << ' ' << reason_phrase(answer.status) << "\n"
      << "Content-Type: " << answer.content_type << "\n"
      << "Cache-Control: no-store\n"
      << "X-Content-Type-Options: nosniff\n\n"
      << answer.body;
}
