// The decoder of application/json request bodies: one JSON object whose members
// become the request's fields through a FieldAdder, exactly as form-encoded pairs
// do. The body is fed in chunks of any size and held (within MaxRequestSize) until
// finish() reads it in one pass; the adder must outlive the decoder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "velloc/request/field_map.h"

// A member's value becomes its field's text: a string as decoded, a number as it
// was sent, true and false as those words, null as an empty field, and an array
// as one value per element, joined as repeated names are (an empty array: an
// empty field). A name sent twice joins its values in order. Anything else (a
// top level that is not one object, an object inside the object, an array
// inside an array, invalid UTF-8, a syntax error) throws MalformedRequest at the
// first byte that shows it, without reading on; a body over max_request_size
// or with more than max_fields values throws RequestLimitExceeded.
class JsonBodyDecoder {
 public:
  explicit JsonBodyDecoder(FieldAdder& adder) : adder_(adder) {}

  void feed(std::string_view chunk);
  // Decodes what was fed; call once, after the last chunk.
  void finish();

 private:
  FieldAdder& adder_;
  std::string body_;
};

// Decodes a whole body.
void decode_json_body(std::string_view body, FieldAdder& adder);
