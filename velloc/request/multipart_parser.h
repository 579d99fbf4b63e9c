// A streaming reader of multipart/form-data bodies: the body is fed in chunks of
// any size, and each part's headers and data are handed to a PartHandler as they
// are recognised. Only one part's headers and a tail shorter than the delimiter are
// held; part data is passed on and never collected here.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct MultipartLimits {
  std::size_t max_parts = 10000;
  std::size_t max_header_bytes = 8 * 1024;  // one part's header section
};

// What a part's headers say about it.
struct PartHeaders {
  std::string name;                     // the Content-Disposition "name", as sent
  std::optional<std::string> filename;  // set when the part is a file (may be empty)
  std::string content_type;             // as sent; empty when absent
};

class PartHandler {
 public:
  virtual ~PartHandler() = default;
  virtual void begin_part(const PartHeaders& headers) = 0;
  virtual void part_data(std::string_view data) = 0;
  virtual void end_part() = 0;
};

// The boundary of a "multipart/form-data; boundary=..." content type (parameter
// quoted or bare, names in any case); nullopt when the type is another one or the
// boundary is missing or invalid.
std::optional<std::string> multipart_boundary(std::string_view content_type);
// True when the content type names multipart/form-data, whatever its parameters.
bool is_multipart_form(std::string_view content_type);
// True when the content type names application/json, with or without a charset.
bool is_json_body(std::string_view content_type);

class MultipartParser {
 public:
  // `handler` must outlive the parser.
  MultipartParser(std::string boundary, MultipartLimits limits, PartHandler& handler);

  // Both return false once the body is malformed; error() then says why.
  bool feed(std::string_view chunk);
  // Ends the body: false unless the closing delimiter has been seen.
  bool finish();
  const std::string& error() const { return error_; }

 private:
  enum class State { kPreamble, kDelimiterLine, kHeaders, kData, kEpilogue, kFailed };

  bool fail(const char* why);
  bool step();
  bool skip_preamble();
  bool read_delimiter_line();
  bool read_header_line();
  bool begin_part();
  bool pass_data();

  std::string delimiter_;  // "\r\n--" + boundary
  MultipartLimits limits_;
  PartHandler& handler_;
  State state_ = State::kPreamble;
  std::string buffer_;  // unread bytes from buffer_[at_]
  std::size_t at_ = 0;
  std::string header_section_;
  std::size_t parts_ = 0;
  std::string error_;
};
