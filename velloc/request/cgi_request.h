// The decoded CGI request: the request's environment and the form fields, each
// kept in a TextMap whose listing order is the fixed order of a 17-bucket hash.
// One CgiRequest exists per run; it is filled once by init_request and
// afterwards changed only by direct stores into its fields.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/request/field_map.h"
#include "velloc/request/upload.h"

struct CgiRequest {
  EnvironmentMap environment;
  FieldMap fields;
  std::int32_t body_length = 0;
  std::string join_separator = ", ";
  // Files sent with a multipart form, in the order they arrived; their temporary
  // files are deleted when the request goes.
  std::vector<Upload> uploads;
  TempFileSet upload_files;

  std::string get_field(std::string_view name) const;
  // The same without a copy; valid until the field is stored again.
  std::string_view field_text(std::string_view name) const;
  bool field_is_set(std::string_view name) const { return !get_field(name).empty(); }
  bool field_is_blank(std::string_view name) const { return get_field(name).empty(); }
  std::string get_env(std::string_view name) const;
  // Stores a derived value into the FieldMap.
  void set_field(std::string_view name, std::string value) { fields.set(name, std::move(value)); }
};

struct UploadSpool;

// Fills `request` from the environment block (NULL-terminated "NAME=value"
// strings) and, for a POST, the body read from `body`. A multipart/form-data body
// is decoded as it is read (its uploads waiting in `spool`'s directory) and an
// application/json one as one object (json_body.h); neither is kept: QUERY_STRING
// is then empty. Throws RequestLimitExceeded (before reading the body when
// CONTENT_LENGTH shows it), MalformedRequest (a body that cannot be decoded),
// std::bad_alloc or another std::exception; init_request_or_fail turns that into
// the initialisation error response.
void init_request(CgiRequest& request, const char* const* environment, std::istream& body,
                  std::string_view join_separator, const RequestLimits& limits = {});
void init_request(CgiRequest& request, const char* const* environment, std::istream& body,
                  std::string_view join_separator, const RequestLimits& limits,
                  const UploadSpool& spool);

// Decodes "+" and "%XY" escapes exactly as the form decoder does; never reads
// past the end of `text` (a "%" with fewer than two characters after it is
// kept).
std::string url_decode(std::string_view text);

// Parses "name=value&..." form data into `fields`, joining repeated names.
void parse_form_data(std::string_view data, FieldAdder& adder);
void parse_form_data(std::string_view data, std::string_view join_separator, FieldMap& fields);

// "Content-type: <type>\n\n".
void write_content_type(std::ostream& out, std::string_view content_type);
// "Location: <url>\n\n"; every control character of the URL (below 0x20, and
// 0x7F) is dropped.
void write_redirect(std::ostream& out, std::string_view url);
