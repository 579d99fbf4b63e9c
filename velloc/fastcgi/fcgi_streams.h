// Standard stream buffers over one FastCGI request's streams, so the pipeline reads the
// request body and writes the answer as it does on a CGI program's standard input and
// output. A buffer must not outlive the connection it reads or writes.
#pragma once

#include <array>
#include <streambuf>

#include "velloc/fastcgi/fcgi_connection.h"

// Reads FCGI_STDIN; end of file at the end of the stream, when the request is aborted,
// when the client hangs up and when the request's time runs out.
class FcgiInputBuffer : public std::streambuf {
 public:
  explicit FcgiInputBuffer(FcgiConnection& connection) : connection_(connection) {}
  FcgiInputBuffer(const FcgiInputBuffer&) = delete;
  FcgiInputBuffer& operator=(const FcgiInputBuffer&) = delete;

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char* target, std::streamsize count) override;

 private:
  FcgiConnection& connection_;
  std::array<char, 4096> buffer_;
};

// Writes FCGI_STDOUT through the connection's record buffer; a failed write (the
// client hung up) puts the stream that uses it into the failed state.
class FcgiOutputBuffer : public std::streambuf {
 public:
  explicit FcgiOutputBuffer(FcgiConnection& connection) : connection_(connection) {}
  FcgiOutputBuffer(const FcgiOutputBuffer&) = delete;
  FcgiOutputBuffer& operator=(const FcgiOutputBuffer&) = delete;

 protected:
  int_type overflow(int_type character) override;
  std::streamsize xsputn(const char* source, std::streamsize count) override;

 private:
  FcgiConnection& connection_;
};
