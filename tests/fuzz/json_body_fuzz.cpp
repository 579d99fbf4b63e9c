// Feeds arbitrary bytes to the JSON body decoder, whole and in chunks whose size
// the first byte picks, within small limits: both ways must give the same fields
// or the same refusal, and never more fields than the limit allows.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "velloc/request/json_body.h"

namespace {

constexpr RequestLimits kLimits{4096, 64};

// The fields' listing, or the refusal's text.
std::string outcome(std::string_view body, std::size_t chunk) {
  FieldMap fields;
  FieldAdder adder(fields, ", ", kLimits);
  try {
    if (chunk == 0) {
      decode_json_body(body, adder);
    } else {
      JsonBodyDecoder decoder(adder);
      for (std::size_t at = 0; at < body.size(); at += chunk) decoder.feed(body.substr(at, chunk));
      decoder.finish();
    }
  } catch (const std::exception& error) {
    return std::string("refused: ") + error.what();
  }
  if (fields.size() > kLimits.max_fields) __builtin_trap();
  std::string listing;
  fields.for_each([&](const std::string& name, const std::string& value) {
    listing.append(name).append(1, '\0').append(value).append(1, '\0');
  });
  return listing;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t chunk = data[0] % 16 + 1;
  std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (outcome(body, 0) != outcome(body, chunk)) __builtin_trap();
  return 0;
}
