#include "velloc/mail/mime.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <random>
#include <vector>

#include "platform/descriptor_stream.h"
#include "platform/path_map.h"
#include "platform/text.h"
#include "velloc/mail/base64.h"
#include "velloc/mail/header_file.h"
#include "velloc/mail/line_reader.h"
#include "velloc/mail/mail_encoding.h"
#include "velloc/mail/message_identity.h"
#include "velloc/request/event_log.h"

namespace {

constexpr std::size_t kGroupsPerLine = 18;
constexpr std::size_t kReadChunk = 3 * kGroupsPerLine * 1024;
constexpr std::size_t kBoundaryRandomBytes = 16;
// Characters of a parameter's value on one continuation line.
constexpr std::size_t kParameterSegment = 60;

bool is_directory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_list_header(std::string_view name) {
  for (std::string_view list : {"To", "CC", "BCC"})
    if (platform::equal_ignoring_case(name, list)) return true;
  return false;
}

void write_identity_lines(const MailMessage& message, ContentWriter& out) {
  std::string date = mail_date(message.clock->time());
  std::string id = new_message_id(message.local_host);
  out.format("Date: %s\r\nMessage-ID: %s\r\n", date.c_str(), id.c_str());
  log_event(message, 15, "Date: %s\nMessage-ID: %s\n", date.c_str(), id.c_str());
}

TextScan scan_body(const MailMessage& message) {
  TextScan scan;
  platform::FileReader file(message.body_fd, platform::native_path(message.body_file));
  std::vector<char> chunk(kReadChunk);
  while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || file.gcount() > 0)
    scan.add(std::string_view(chunk.data(), static_cast<std::size_t>(file.gcount())));
  return scan;
}

void write_quoted_body(const MailMessage& message, std::istream& body, ContentWriter& out) {
  QuotedPrintableEncoder encoder;
  std::string line;
  std::string encoded;
  while (read_line_piece(body, kMaxFileLine, line)) {
    encoded.clear();
    encoder.add(line, encoded);
    out.write(encoded);
    log_event(message, 15, "%s", line.c_str());
  }
  encoded.clear();
  encoder.finish(encoded);
  out.write(encoded);
}

void write_header_lines(const MailMessage& message, ContentWriter& out,
                        const std::string& boundary) {
  out.write("MIME-Version: 1.0\r\n");
  log_event(message, 15, "MIME-Version: 1.0\n");
  write_identity_lines(message, out);
  platform::FileReader header(message.header_fd, platform::native_path(message.header_file));
  std::string name;
  std::string value;
  bool more = header && next_header_pair(header, name, value);
  while (more) {
    // A list too long for one line of the header file goes on lines of the same name
    // that follow each other; on the wire it is one field again, folded.
    std::string next_name;
    std::string next_value;
    more = next_header_pair(header, next_name, next_value);
    while (more && is_list_header(name) && platform::equal_ignoring_case(name, next_name)) {
      if (!next_value.empty()) value.append(value.empty() ? "" : ", ").append(next_value);
      more = next_header_pair(header, next_name, next_value);
    }
    out.format("%s: %s\r\n", name.c_str(),
               encode_header_value(name, value, message.site_charset).c_str());
    log_event(message, 15, "%s: %s\n", name.c_str(), value.c_str());
    name = std::move(next_name);
    value = std::move(next_value);
  }
  out.format("Content-Type: multipart/mixed; boundary=\"%s\"\r\n\r\n", boundary.c_str());
}

// 8-bit text, and text with a line too long for mail, goes quoted-printable.
void write_body_part(const MailMessage& message, ContentWriter& out, const std::string& boundary) {
  TextScan scan = scan_body(message);
  bool quoted = !scan.seven_bit() || scan.longest_line() > kMaxMailLine;
  std::string charset =
      scan.seven_bit() ? message.charset : charset_label(scan, message.site_charset);
  out.format("--%s\r\n", boundary.c_str());
  out.format("Content-Type: %s; charset=\"%s\"\r\n", message.content_type.c_str(), charset.c_str());
  out.format("Content-Transfer-Encoding: %s\r\n",
             quoted ? "quoted-printable" : message.transfer_encoding.c_str());
  out.write("\r\n");
  log_event(message, 5, "Sending Message Body...\n");
  platform::FileReader body(message.body_fd, platform::native_path(message.body_file));
  if (body) {
    if (quoted) {
      write_quoted_body(message, body, out);
    } else {
      std::string line;
      while (read_line_piece(body, kMaxFileLine, line)) {
        out.write(line);
        log_event(message, 15, "%s", line.c_str());
      }
    }
    log_event(message, 5, "Message Body Sent.\n");
  }
  out.write("\r\n");
  out.write("\r\n");
}

void write_attachment_part(const MailMessage& message, ContentWriter& out,
                           const MailAttachment& attachment, const std::string& boundary) {
  log_event(message, 5, "Sending attachment '%s'...\n", attachment.path.c_str());
  std::string native = platform::native_path(attachment.path);
  std::ifstream named;
  std::optional<platform::FileReader> held;
  if (attachment.fd >= 0) {
    held.emplace(attachment.fd, native);
  } else if (!is_directory(native)) {
    named.open(native, std::ios::binary);
  }
  std::istream& file = held ? static_cast<std::istream&>(*held) : named;
  if (held ? !*held : !named.is_open()) {
    log_event(message, 5, "Could not open attachment '%s'\n", attachment.path.c_str());
    return;
  }
  out.format("--%s\r\n", boundary.c_str());
  out.write(attachment_part_headers(attachment));
  out.write("Content-Transfer-Encoding: base64\r\n");
  out.write("\r\n");
  encode_base64(file, out);
  log_event(message, 5, "Attachment Sent.\n");
}

// Fills `bytes` from the kernel's random source, or from std::random_device where
// that source is missing.
void fill_random(unsigned char* bytes, std::size_t count) {
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t got = getrandom(bytes + filled, count - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;
    }
  }
  std::random_device device;
  for (; filled < count; ++filled) bytes[filled] = static_cast<unsigned char>(device());
}

// Every byte outside the RFC 2231 attribute characters as "%XX".
std::string percent_encoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || std::strchr("!#$&+-.^_`|~", c) != nullptr) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 15]);
    }
  }
  return encoded;
}

// The parameter `attribute` as RFC 2231 continuations, one percent-encoded
// segment a line, none splitting an escape.
std::string continued_parameter(std::string_view attribute, std::string_view value) {
  const std::string encoded = percent_encoded(value);
  std::string lines;
  for (std::size_t at = 0, index = 0; at < encoded.size(); ++index) {
    std::size_t count = std::min(kParameterSegment, encoded.size() - at);
    std::size_t escape = encoded.rfind('%', at + count - 1);
    if (escape != std::string::npos && escape >= at && escape + 3 > at + count) count = escape - at;
    lines.append(";\r\n ").append(attribute).append("*").append(std::to_string(index));
    lines.append(index == 0 ? "*=UTF-8''" : "*=").append(encoded, at, count);
    at += count;
  }
  return lines;
}

// The longest line of CR LF ended text, without its line end.
std::size_t longest_line(std::string_view text) {
  std::size_t longest = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = std::min(text.find("\r\n", start), text.size());
    longest = std::max(longest, end - start);
    start = end + 2;
  }
  return longest;
}

struct TypeByExtension {
  std::string_view extension;
  std::string_view type;
};

constexpr TypeByExtension kTypes[] = {
    {"pdf", "application/pdf"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"rtf", "application/rtf"},
    {"txt", "text/plain"},
    {"csv", "text/csv"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"png", "image/png"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"zip", "application/zip"},
};

}  // namespace

std::string new_mime_boundary() {
  constexpr char kHexDigits[] = "0123456789abcdef";
  unsigned char bytes[kBoundaryRandomBytes];
  fill_random(bytes, sizeof bytes);
  std::string boundary = "velloc-";
  for (unsigned char byte : bytes) {
    boundary.push_back(kHexDigits[byte >> 4]);
    boundary.push_back(kHexDigits[byte & 15]);
  }
  return boundary;
}

std::string content_type_for_name(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const TypeByExtension& entry : kTypes)
      if (entry.extension == extension) return std::string(entry.type);
  }
  return "application/octet-stream";
}

std::string attachment_part_headers(const MailAttachment& attachment) {
  const std::string& type = attachment.content_type;
  const std::string& name = attachment.name;
  std::string headers =
      is_7bit(name) ? "Content-Type: " + type + "; name=\"" + name + "\"\r\n" +
                          "Content-Disposition: attachment; filename=\"" + name + "\"\r\n"
                    : "Content-Type: " + type + "; name=\"=?UTF-8?B?" + base64_text(name) +
                          "?=\"\r\n" + "Content-Disposition: attachment; filename*=UTF-8''" +
                          percent_encoded(name) + "\r\n";
  if (longest_line(headers) <= kMaxMailLine) return headers;
  return "Content-Type: " + type + continued_parameter("name", name) + "\r\n" +
         "Content-Disposition: attachment" + continued_parameter("filename", name) + "\r\n";
}

std::string attachment_shown_name(std::string_view path) {
  std::size_t separator = path.rfind('\\');
  if (separator == std::string_view::npos) separator = path.rfind('/');
  if (separator == std::string_view::npos || separator + 1 == path.size()) return std::string(path);
  return std::string(path.substr(separator + 1));
}

void ContentWriter::write(std::string_view text) {
  wire_.clear();
  for (char c : text) {
    if (c == '\r') continue;
    if (at_line_start_ && c == '.') wire_.push_back('.');
    if (c == '\n') wire_.push_back('\r');
    wire_.push_back(c);
    at_line_start_ = (c == '\n');
  }
  sink_.write_bytes(wire_);
}

void ContentWriter::write_unchanged(std::string_view text) {
  if (text.empty()) return;
  sink_.write_bytes(text);
  at_line_start_ = text.back() == '\n';
}

void ContentWriter::format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
    write(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
  }
  va_end(arguments);
}

void encode_base64(std::istream& input, ContentWriter& out) {
  std::vector<char> chunk(kReadChunk);
  std::string text;
  std::size_t groups = 0;
  for (;;) {
    input.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    std::size_t count = static_cast<std::size_t>(input.gcount());
    if (count == 0) break;
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
    text.resize((count + 2) / 3 * 4 + (count / 3 / kGroupsPerLine + 1) * 2);
    char* end = text.data();
    for (std::size_t at = 0; at < count; at += 3, end += 4) {
      append_base64_group(bytes + at, std::min<std::size_t>(3, count - at), end);
      if (++groups % kGroupsPerLine == 0) {
        end[4] = '\r';
        end[5] = '\n';
        end += 2;
      }
    }
    out.write_unchanged(std::string_view(text.data(), static_cast<std::size_t>(end - text.data())));
  }
  out.write("\r\n");
}

void write_message_content(const MailMessage& message, ContentWriter& out,
                           std::span<const MailAttachment> attachments) {
  const std::string boundary = new_mime_boundary();
  write_header_lines(message, out, boundary);
  write_body_part(message, out, boundary);
  for (const MailAttachment& attachment : attachments)
    write_attachment_part(message, out, attachment, boundary);
  out.format("\r\n--%s--\r\n", boundary.c_str());
}
