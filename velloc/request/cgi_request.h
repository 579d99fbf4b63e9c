// The decoded CGI request: the process environment and the form fields, each
// kept in a TextMap whose listing order is the fixed order of a 17-bucket hash.
// One CgiRequest exists per run; it is filled once by init_request and
// afterwards changed only by direct stores into its fields.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "velloc/request/upload.h"

// Text-to-text map with upper-cased keys. Lookups are constant-time; listings
// visit buckets 0 to 16 (bucket = h % 17, h = h * 33 + signed byte over the
// key) and, within a bucket, the most recently added name first. Storing under
// a name that is present replaces the value without moving the name.
class TextMap {
 public:
  // The value stored under the upper-cased name, or nullptr when absent.
  const std::string* find(std::string_view name) const;
  std::string* find_mutable(std::string_view name);
  // Stores `value` under the upper-cased name.
  void set(std::string_view name, std::string value);
  // The value under the upper-cased name, added empty (as the newest name) when
  // absent; one hash lookup either way.
  std::string& find_or_add(std::string_view name);
  // Makes room for `count` names in all, so that adding them does not rehash.
  void reserve(std::size_t count) { index_.reserve(count); }
  std::size_t size() const { return entries_.size(); }
  // Calls visit(name, value) for every entry in listing order.
  void for_each(const std::function<void(const std::string&, const std::string&)>& visit) const;

 private:
  struct Entry {
    std::string name;
    std::string value;
  };
  static constexpr int kBuckets = 17;
  std::deque<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
  std::vector<std::size_t> buckets_[kBuckets];
};

using FieldMap = TextMap;
using EnvironmentMap = TextMap;

// Upper-cases a to z only; other bytes stay as they are.
std::string to_upper_ascii(std::string_view text);

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
  bool field_is_set(std::string_view name) const { return !get_field(name).empty(); }
  bool field_is_blank(std::string_view name) const { return get_field(name).empty(); }
  std::string get_env(std::string_view name) const;
  // Stores a derived value into the FieldMap.
  void set_field(std::string_view name, std::string value) { fields.set(name, std::move(value)); }
};

struct UploadSpool;

// Fills `request` from the environment block (NULL-terminated "NAME=value"
// strings) and, for a POST, the body read from `body`. A multipart/form-data body
// is decoded as it is read (its uploads waiting in `spool`'s directory) and is not
// kept: QUERY_STRING is then empty. Throws std::bad_alloc
// (or another std::exception) when memory runs out; init_request_or_fail turns
// that into the initialisation error response.
void init_request(CgiRequest& request, const char* const* environment, std::istream& body,
                  std::string_view join_separator);
void init_request(CgiRequest& request, const char* const* environment, std::istream& body,
                  std::string_view join_separator, const UploadSpool& spool);

// Decodes "+" and "%XY" escapes exactly as the form decoder does; never reads
// past the end of `text` (a "%" with fewer than two characters after it is
// kept).
std::string url_decode(std::string_view text);

// Adds one decoded pair to `fields`: a repeated name gets `separator` and the new
// value after a non-empty earlier value.
void store_field(std::string_view name, std::string value, std::string_view separator,
                 FieldMap& fields);

// Parses "name=value&..." form data into `fields`, joining repeated names.
void parse_form_data(std::string_view data, std::string_view join_separator, FieldMap& fields);

// "Content-type: <type>\n\n".
void write_content_type(std::ostream& out, std::string_view content_type);
// "Location: <url>\n\n"; carriage returns and line feeds in the URL are
// dropped.
void write_redirect(std::ostream& out, std::string_view url);
