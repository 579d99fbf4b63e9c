// The message content sent between DATA and the end of data: a multipart/mixed
// MIME message with a boundary of its own, the body part from the body file and
// one base64 part per attached file. Files are read as they are sent; nothing
// is held whole in memory.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "velloc/mail/byte_sink.h"
#include "velloc/mail/mail_message.h"

struct MailAttachment {
  std::string path;  // the file to read (composed path)
  std::string name;  // the name shown to the recipient
  std::string content_type = "application/octet-stream";
  // The open file, read through this when set (-1: by its path); owned by whoever made
  // the attachment.
  int fd = -1;
};

// "velloc-" and 32 random hexadecimal digits: a new boundary for every message, so
// that no text a visitor writes into a field can end a part or begin one.
std::string new_mime_boundary();

// The MIME type for a file name's extension; application/octet-stream when the
// extension is not a common document or image type.
std::string content_type_for_name(std::string_view name);

// The two header lines that label an attachment part, each ending in "\r\n". An
// ASCII name goes in quoted "name" and "filename" parameters; any other name as an
// RFC 2047 encoded word in "name" and an RFC 2231 "filename*". A name that would
// make a line longer than mail allows goes in RFC 2231 continuations of both,
// one short line each.
std::string attachment_part_headers(const MailAttachment& attachment);

// The name shown for an attachment: the text after the last "\" (or, when there
// is none, the last "/"); the whole path when it has neither or ends in one.
std::string attachment_shown_name(std::string_view path);

// Writes message content to a sink with SMTP transparency: every line end leaves
// as CR LF (a carriage return is dropped, a line feed becomes CR LF) and every line
// that begins with "." gets one more "." in front. The sink must outlive it.
class ContentWriter {
 public:
  explicit ContentWriter(ByteSink& sink) : sink_(sink) {}
  void write(std::string_view text);
  // For text already in wire form (CR LF line ends, no line beginning with ".").
  void write_unchanged(std::string_view text);
  // printf-style; the formatted text is not cut.
  void format(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  ByteSink& sink_;
  bool at_line_start_ = true;
  std::string wire_;
};

// Sends the bytes of `input` in base64 lines of 72 characters, each ended by
// "\r\n", and a final "\r\n" (an empty input gives only that).
void encode_base64(std::istream& input, ContentWriter& out);

// Sends the whole content (MIME-Version, the header file's lines, the body part and
// the attachment parts) and logs it at types 15 and 5.
void write_message_content(const MailMessage& message, ContentWriter& out,
                           std::span<const MailAttachment> attachments);
