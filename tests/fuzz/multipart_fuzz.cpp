// Feeds arbitrary bytes to the multipart parser, split into chunks at points taken
// from the input itself, and checks that what it passes on never exceeds what it
// was given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "velloc/request/multipart_parser.h"

namespace {

class CountingHandler : public PartHandler {
 public:
  std::size_t bytes = 0;
  int open_parts = 0;
  void begin_part(const PartHeaders&) override {
    if (open_parts != 0) __builtin_trap();
    ++open_parts;
  }
  void part_data(std::string_view data) override {
    if (open_parts != 1) __builtin_trap();
    bytes += data.size();
  }
  void end_part() override {
    if (open_parts != 1) __builtin_trap();
    --open_parts;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t chunk = 1 + data[0] % 17;
  std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  CountingHandler handler;
  MultipartLimits limits;
  limits.max_parts = 50;
  limits.max_header_bytes = 256;
  MultipartParser parser("b", limits, handler);
  bool good = true;
  for (std::size_t at = 0; good && at < body.size(); at += chunk)
    good = parser.feed(body.substr(at, chunk));
  parser.finish();
  if (handler.bytes > body.size()) __builtin_trap();
  if (multipart_boundary(body) && multipart_boundary(body)->size() > 70) __builtin_trap();
  return 0;
}
