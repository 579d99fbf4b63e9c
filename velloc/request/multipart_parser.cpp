#include "velloc/request/multipart_parser.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::size_t kMaxBoundary = 70;
// Room for transport padding after a delimiter before its line end.
constexpr std::size_t kMaxDelimiterLine = 256;
constexpr std::string_view kLineEnd = "\r\n";

std::string lower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::string_view trimmed(std::string_view text) {
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

struct Parameter {
  std::string name;  // lower case
  std::string value;
};

// "type; a=1; b=\"x;y\"" -> the type and its parameters. Quoted values run to the
// next quote; a backslash in them is an ordinary character, as browsers send
// Windows paths that way.
std::string split_parameters(std::string_view header, std::vector<Parameter>& parameters) {
  std::size_t semicolon = header.find(';');
  std::string type = lower(trimmed(header.substr(0, semicolon)));
  std::size_t at = semicolon;
  while (at != std::string_view::npos && at < header.size()) {
    ++at;
    std::size_t equals = header.find_first_of("=;", at);
    if (equals == std::string_view::npos || header[equals] == ';') {
      at = equals;
      continue;
    }
    Parameter parameter{lower(trimmed(header.substr(at, equals - at))), {}};
    std::size_t value_start = header.find_first_not_of(" \t", equals + 1);
    if (value_start != std::string_view::npos && header[value_start] == '"') {
      std::size_t close = header.find('"', value_start + 1);
      parameter.value =
          header.substr(value_start + 1, close == std::string_view::npos ? std::string_view::npos
                                                                         : close - value_start - 1);
      at = close == std::string_view::npos ? close : header.find(';', close);
    } else {
      at = header.find(';', equals);
      parameter.value = trimmed(header.substr(
          equals + 1, at == std::string_view::npos ? std::string_view::npos : at - equals - 1));
    }
    parameters.push_back(std::move(parameter));
  }
  return type;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of an extended parameter "charset'language'%XX..." as bytes.
std::string decode_extended_value(std::string_view value) {
  std::size_t first = value.find('\'');
  std::size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
  if (second != std::string_view::npos) value.remove_prefix(second + 1);
  std::string decoded;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && hex_value(value[i + 1]) >= 0 &&
        hex_value(value[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(hex_value(value[i + 1]) * 16 + hex_value(value[i + 2])));
      i += 2;
    } else {
      decoded.push_back(value[i]);
    }
  }
  return decoded;
}

// Header lines of one part, folded continuation lines joined to their header.
std::vector<std::string> unfolded_lines(std::string_view section) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < section.size()) {
    std::size_t end = section.find(kLineEnd, at);
    if (end == std::string_view::npos) end = section.size();
    std::string_view line = section.substr(at, end - at);
    if (!lines.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t'))
      lines.back().append(line);
    else
      lines.emplace_back(line);
    at = end + kLineEnd.size();
  }
  return lines;
}

// Fills `headers` from the section; false when it has no usable Content-Disposition.
bool read_part_headers(std::string_view section, PartHeaders& headers) {
  bool disposition_seen = false;
  for (const std::string& line : unfolded_lines(section)) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = lower(trimmed(std::string_view(line).substr(0, colon)));
    std::string_view value = std::string_view(line).substr(colon + 1);
    if (name == "content-type") headers.content_type = trimmed(value);
    if (name != "content-disposition") continue;
    std::vector<Parameter> parameters;
    if (split_parameters(value, parameters) != "form-data") return false;
    std::optional<std::string> extended_filename;
    bool named = false;
    for (const Parameter& parameter : parameters) {
      if (parameter.name == "name") headers.name = parameter.value, named = true;
      if (parameter.name == "filename") headers.filename = parameter.value;
      if (parameter.name == "filename*") extended_filename = decode_extended_value(parameter.value);
    }
    if (extended_filename) headers.filename = extended_filename;
    disposition_seen = named;
  }
  return disposition_seen;
}

bool is_boundary_character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
}

}  // namespace

bool is_multipart_form(std::string_view content_type) {
  std::vector<Parameter> parameters;
  return split_parameters(content_type, parameters) == "multipart/form-data";
}

bool is_json_body(std::string_view content_type) {
  std::vector<Parameter> parameters;
  return split_parameters(content_type, parameters) == "application/json";
}

std::optional<std::string> multipart_boundary(std::string_view content_type) {
  std::vector<Parameter> parameters;
  if (split_parameters(content_type, parameters) != "multipart/form-data") return std::nullopt;
  for (const Parameter& parameter : parameters) {
    if (parameter.name != "boundary") continue;
    const std::string& boundary = parameter.value;
    if (boundary.empty() || boundary.size() > kMaxBoundary || boundary.back() == ' ' ||
        !std::all_of(boundary.begin(), boundary.end(), is_boundary_character))
      return std::nullopt;
    return boundary;
  }
  return std::nullopt;
}

MultipartParser::MultipartParser(std::string boundary, MultipartLimits limits, PartHandler& handler)
    : delimiter_("\r\n--" + boundary), limits_(limits), handler_(handler) {
  // The first delimiter may open the body without a line end before it.
  buffer_ = kLineEnd;
}

bool MultipartParser::fail(const char* why) {
  state_ = State::kFailed;
  error_ = why;
  return false;
}

bool MultipartParser::feed(std::string_view chunk) {
  if (state_ == State::kFailed) return false;
  if (state_ == State::kEpilogue) return true;
  buffer_.erase(0, at_);
  at_ = 0;
  buffer_.append(chunk);
  while (state_ != State::kFailed && step()) {
  }
  return state_ != State::kFailed;
}

bool MultipartParser::finish() {
  if (state_ == State::kFailed) return false;
  if (state_ != State::kEpilogue) return fail("the closing delimiter is missing");
  return true;
}

// One move of the state machine; false when it needs more bytes (or has failed).
bool MultipartParser::step() {
  switch (state_) {
    case State::kPreamble:
      return skip_preamble();
    case State::kDelimiterLine:
      return read_delimiter_line();
    case State::kHeaders:
      return read_header_line();
    case State::kData:
      return pass_data();
    case State::kEpilogue:
    case State::kFailed:
      return false;
  }
  return false;
}

bool MultipartParser::skip_preamble() {
  std::size_t found = std::string_view(buffer_).find(delimiter_, at_);
  if (found == std::string::npos) {
    std::size_t keep = delimiter_.size() - 1;
    if (buffer_.size() - at_ > keep) at_ = buffer_.size() - keep;
    return false;
  }
  at_ = found + delimiter_.size();
  state_ = State::kDelimiterLine;
  return true;
}

bool MultipartParser::read_delimiter_line() {
  std::string_view rest = std::string_view(buffer_).substr(at_);
  if (rest.size() < 2) return false;
  if (rest.substr(0, 2) == "--") {
    state_ = State::kEpilogue;
    at_ = buffer_.size();
    return false;
  }
  std::size_t end = rest.find(kLineEnd);
  if (end == std::string_view::npos)
    return rest.size() > kMaxDelimiterLine ? fail("a delimiter line is too long") : false;
  if (rest.substr(0, end).find_first_not_of(" \t") != std::string_view::npos)
    return fail("a delimiter is followed by other text");
  at_ += end + kLineEnd.size();
  header_section_.clear();
  state_ = State::kHeaders;
  return true;
}

bool MultipartParser::read_header_line() {
  std::string_view rest = std::string_view(buffer_).substr(at_);
  std::size_t end = rest.find(kLineEnd);
  std::size_t line_length = end == std::string_view::npos ? rest.size() : end + kLineEnd.size();
  if (header_section_.size() + line_length > limits_.max_header_bytes)
    return fail("a part's headers are too long");
  if (end == std::string_view::npos) return false;
  at_ += line_length;
  if (end == 0) return begin_part();
  header_section_.append(rest.substr(0, line_length));
  return true;
}

bool MultipartParser::begin_part() {
  if (++parts_ > limits_.max_parts) return fail("the body has too many parts");
  PartHeaders headers;
  if (!read_part_headers(header_section_, headers))
    return fail("a part has no form-data Content-Disposition with a name");
  handler_.begin_part(headers);
  state_ = State::kData;
  return true;
}

bool MultipartParser::pass_data() {
  std::string_view rest = std::string_view(buffer_).substr(at_);
  std::size_t found = rest.find(delimiter_);
  if (found == std::string_view::npos) {
    std::size_t keep = delimiter_.size() - 1;
    if (rest.size() <= keep) return false;
    handler_.part_data(rest.substr(0, rest.size() - keep));
    at_ = buffer_.size() - keep;
    return false;
  }
  if (found > 0) handler_.part_data(rest.substr(0, found));
  handler_.end_part();
  at_ += found + delimiter_.size();
  state_ = State::kDelimiterLine;
  return true;
}
