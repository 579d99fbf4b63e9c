// Writing JSON text (RFC 8259) for the answers to scripts: string literals that
// are valid UTF-8 whatever bytes they are given, and objects built member by
// member. Safe to place in an HTML page: "<", ">" and "&" never appear as
// themselves.
#pragma once

#include <string>
#include <string_view>

// Appends `text` as a JSON string literal, quotes included. A byte that does not
// belong to a well-formed UTF-8 sequence becomes U+FFFD (one for each such byte);
// control characters, '"', '\', '<', '>', '&', U+2028 and U+2029 are escaped.
void append_json_string(std::string& out, std::string_view text);
std::string json_string(std::string_view text);

// `text` with each byte that does not belong to a well-formed UTF-8 sequence
// replaced by U+FFFD, as the string literals above have it; nothing else changes.
std::string valid_utf8(std::string_view text);

// One JSON object, its members written in the order they are added as
// `{"name": value, ...}`. The names given are written as strings; `add_json`
// takes a value that is already JSON text.
class JsonObject {
 public:
  JsonObject& add_string(std::string_view name, std::string_view value);
  JsonObject& add_bool(std::string_view name, bool value);
  JsonObject& add_json(std::string_view name, std::string_view json);
  // The object's text; the object may be added to afterwards.
  std::string text() const { return members_ + "}"; }

 private:
  void start_member(std::string_view name);

  std::string members_ = "{";
};
