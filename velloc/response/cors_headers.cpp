#include "velloc/response/cors_headers.h"

#include <ostream>

namespace {

// How long a browser may keep a preflight's answer.
constexpr int kPreflightMaxAgeSeconds = 600;

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
