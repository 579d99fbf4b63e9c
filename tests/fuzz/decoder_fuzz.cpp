// Feeds arbitrary bytes to the request decoder: as a POST body with an
// announced length, as form data, and as a value for url_decode.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "velloc/request/cgi_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string length = "CONTENT_LENGTH=" + std::to_string(size / 2);
  std::string query = "QUERY_STRING=" + input.substr(0, input.find('\0'));
  const char* environment[] = {length.c_str(), query.c_str(), "==x", nullptr};
  std::istringstream body(input);
  CgiRequest request;
  init_request(request, environment, body, ", ");

  std::size_t listed = 0;
  request.fields.for_each([&](const std::string&, const std::string&) { ++listed; });
  if (listed != request.fields.size()) __builtin_trap();

  std::string decoded = url_decode(input);
  if (decoded.size() > input.size()) __builtin_trap();
  return 0;
}
