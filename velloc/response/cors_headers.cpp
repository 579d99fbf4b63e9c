#include "velloc/response/cors_headers.h"

#include <ostream>

namespace {

// How long a browser may keep a preflight's answer.
constexpr int kPreflightMaxAgeSeconds = 600;
constexpr int kNoContent = 204;

}  // namespace

void write_cors_headers(std::ostream& out, const Answer& answer) {
  if (answer.allow_origin.empty()) return;
  out << "Access-Control-Allow-Origin: " << answer.allow_origin << "\n";
  if (answer.kind == Answer::Kind::kPreflight) {
    out << "Access-Control-Allow-Methods: POST\n";
    if (!answer.allow_headers.empty())
      out << "Access-Control-Allow-Headers: " << answer.allow_headers << "\n";
    out << "Access-Control-Max-Age: " << kPreflightMaxAgeSeconds << "\n";
  }
  out << "Vary: Origin\n";
}

// An allowed preflight has no body; a refused one carries no CORS header.
void write_preflight_answer(std::ostream& out, const Answer& answer) {
  if (answer.status != kNoContent) {
    out << "Status: 403 Forbidden\n\n";
    return;
  }
  out << "Status: 204 No Content\n";
  write_cors_headers(out, answer);
  out << "\n";
}

void write_challenge_answer(std::ostream& out, const Answer& answer) {
  out << "Status: 200 OK\n";
  write_cors_headers(out, answer);
  out << "Cache-Control: no-store\n"
      << "Content-Type: application/json; charset=utf-8\n\n"
      << answer.body << '\n';
}
