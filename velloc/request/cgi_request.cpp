#include "velloc/request/cgi_request.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "platform/ini_file.h"
#include "velloc/request/json_body.h"
#include "velloc/request/multipart_form.h"

namespace {

constexpr std::size_t kMaxEnvironmentEntry = 16383;
constexpr std::size_t kBodyChunk = 64 * 1024;
constexpr std::size_t kMaxReservedFields = 1 << 20;

int hex_digit_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
  return c - 55;
}

void store_environment_entry(std::string_view entry, EnvironmentMap& environment) {
  entry = entry.substr(0, kMaxEnvironmentEntry);
  std::size_t start = entry.find_first_not_of('=');
  if (start == std::string_view::npos) return;
  entry.remove_prefix(start);
  std::size_t equals = entry.find('=');
  std::string_view name = entry.substr(0, equals);
  std::string_view value;
  if (equals != std::string_view::npos) {
    value = entry.substr(equals + 1);
    value = value.substr(0, value.find('`'));
  }
  environment.set(name, std::string(value));
}

// Reads the `length` bytes (within the request limit) into one buffer; a body that
// ends sooner is refused.
std::string read_body(std::istream& body, std::int32_t length) {
  std::string data;
  std::size_t wanted = static_cast<std::size_t>(length);
  data.reserve(wanted);  // pages count only once bytes are written to them
  char chunk[kBodyChunk];
  while (data.size() < wanted && body) {
    body.read(chunk, static_cast<std::streamsize>(std::min(kBodyChunk, wanted - data.size())));
    data.append(chunk, static_cast<std::size_t>(body.gcount()));
  }
  if (data.size() < wanted) throw body_cut_short(data.size(), wanted);
  return data;
}

// The text up to its first NUL byte.
std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

void refuse_larger_than(const RequestLimits& limits, std::int64_t size) {
  if (size <= limits.max_request_size) return;
  throw RequestLimitExceeded("request of " + std::to_string(size) + " bytes exceeds " +
                             "MaxRequestSize (" + std::to_string(limits.max_request_size) + ")");
}

// Room for every name the data can hold (a name needs both an "=" and an "&"
// before the next one), within a bound so that separators alone cannot claim
// much memory.
void reserve_for_fields(std::string_view data, FieldMap& fields, std::size_t max_fields) {
  std::size_t ampersands = std::count(data.begin(), data.end(), '&');
  std::size_t equals = std::count(data.begin(), data.end(), '=');
  fields.reserve(fields.size() + std::min({ampersands, equals, kMaxReservedFields, max_fields}) +
                 1);
}

// A multipart body goes to the decoder as it is read; only its fields and the
// paths of its files stay.
void decode_multipart_request(CgiRequest& request, std::istream& body, const RequestLimits& limits,
                              const UploadSpool& spool) {
  refuse_larger_than(limits, request.body_length);
  std::optional<std::string> boundary = multipart_boundary(request.get_env("CONTENT_TYPE"));
  if (!boundary) throw MalformedRequest("multipart body without a valid boundary");
  request.environment.set("QUERY_STRING", std::string());
  FieldAdder adder(request.fields, request.join_separator, limits);
  decode_multipart_body(body, static_cast<std::uint64_t>(request.body_length), *boundary, spool,
                        adder, request.uploads, request.upload_files);
}

// A JSON body becomes the fields and is not kept, as a multipart one.
void decode_json_request(CgiRequest& request, std::istream& body, const RequestLimits& limits) {
  refuse_larger_than(limits, request.body_length);
  request.environment.set("QUERY_STRING", std::string());
  FieldAdder adder(request.fields, request.join_separator, limits);
  decode_json_body(read_body(body, request.body_length), adder);
}

}  // namespace

std::string CgiRequest::get_field(std::string_view name) const {
  const std::string* value = fields.find(name);
  return value ? *value : std::string();
}

std::string_view CgiRequest::field_text(std::string_view name) const {
  const std::string* value = fields.find(name);
  return value ? std::string_view(*value) : std::string_view();
}

std::string CgiRequest::get_env(std::string_view name) const {
  const std::string* value = environment.find(name);
  return value ? *value : std::string();
}

std::string url_decode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      decoded.push_back(' ');
    } else if (c == '%' && text.size() - i >= 3) {
      int value = 16 * hex_digit_value(static_cast<unsigned char>(text[i + 1])) +
                  hex_digit_value(static_cast<unsigned char>(text[i + 2]));
      decoded.push_back(static_cast<char>(((value % 256) + 256) % 256));
      i += 2;
    } else {
      decoded.push_back(c);
    }
  }
  return decoded;
}

void parse_form_data(std::string_view data, std::string_view join_separator, FieldMap& fields) {
  FieldAdder adder(fields, join_separator, RequestLimits());
  parse_form_data(data, adder);
}

void parse_form_data(std::string_view data, FieldAdder& adder) {
  reserve_for_fields(data, adder.fields(), adder.limits().max_fields);
  std::size_t pos = 0;
  while (true) {
    pos = data.find_first_not_of('=', pos);
    if (pos == std::string_view::npos) return;
    std::size_t equals = data.find('=', pos);
    if (equals == std::string_view::npos) {
      adder.add(data.substr(pos), std::string());
      return;
    }
    std::string_view name = data.substr(pos, equals - pos);
    std::size_t value_start = equals + 1;
    std::string_view value;
    if (value_start < data.size() && data[value_start] == '&') {
      pos = value_start + 1;
    } else {
      std::size_t amp = data.find('&', value_start);
      value = data.substr(value_start, amp == std::string_view::npos ? amp : amp - value_start);
      pos = amp == std::string_view::npos ? data.size() : amp + 1;
    }
    adder.add(name, url_decode(value));
  }
}

void init_request(CgiRequest& request, const char* const* environment, std::istream& body,
                  std::string_view join_separator, const RequestLimits& limits) {
  init_request(request, environment, body, join_separator, limits, UploadSpool());
}

void init_request(CgiRequest& request, const char* const* environment, std::istream& body,
                  std::string_view join_separator, const RequestLimits& limits,
                  const UploadSpool& spool) {
  request.join_separator = std::string(join_separator);
  for (const char* const* entry = environment; entry && *entry; ++entry)
    store_environment_entry(*entry, request.environment);

  request.body_length = platform::parse_leading_int(request.get_env("CONTENT_LENGTH"));
  if (request.body_length > 0 && is_multipart_form(request.get_env("CONTENT_TYPE"))) {
    decode_multipart_request(request, body, limits, spool);
    return;
  }
  if (request.body_length > 0 && is_json_body(request.get_env("CONTENT_TYPE"))) {
    decode_json_request(request, body, limits);
    return;
  }
  if (request.body_length > 0) {
    refuse_larger_than(limits, request.body_length);
    request.environment.set("QUERY_STRING", read_body(body, request.body_length));
  } else {
    std::size_t query_length = request.get_env("QUERY_STRING").size();
    refuse_larger_than(limits, static_cast<std::int64_t>(query_length));
    request.body_length = static_cast<std::int32_t>(query_length);
    request.environment.set("CONTENT_LENGTH", std::to_string(request.body_length));
  }

  const std::string* query = request.environment.find("QUERY_STRING");
  std::string_view form_data = query ? std::string_view(*query) : std::string_view();
  std::string unescaped = url_decode(form_data);
  unescaped.resize(up_to_nul(unescaped).size());
  if (!unescaped.empty()) request.environment.set("QUERY_STRING_UNESCAPED", std::move(unescaped));
  FieldAdder adder(request.fields, request.join_separator, limits);
  parse_form_data(form_data, adder);
}

void write_content_type(std::ostream& out, std::string_view content_type) {
  out << "Content-type: " << content_type << "\n\n";
}

void write_redirect(std::ostream& out, std::string_view url) {
  out << "Location: ";
  for (char c : url)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out << c;
  out << "\n\n";
}
