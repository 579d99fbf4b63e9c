// Standard stream buffers over one FastCGI request's streams, so the pipeline reads the
// request body and writes the answer as it does on a CGI program's standard input and
// output. The request owns the FCGX_Stream; a buffer must not outlive the request.
#pragma once

#include <fcgiapp.h>

#include <array>
#include <streambuf>

// Reads FCGI_STDIN; end of file at the end of the stream, on a protocol error and when the
// client hangs up.
class FcgiInputBuffer : public std::streambuf {
 public:
  explicit FcgiInputBuffer(FCGX_Stream* stream) : stream_(stream) {}
  FcgiInputBuffer(const FcgiInputBuffer&) = delete;
  FcgiInputBuffer& operator=(const FcgiInputBuffer&) = delete;

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char* target, std::streamsize count) override;

 private:
  FCGX_Stream* stream_;
  std::array<char, 4096> buffer_;
};

// Writes FCGI_STDOUT through the library's own record buffer; a failed write (the
// client hung up) puts the stream that uses it into the failed state.
class FcgiOutputBuffer : public std::streambuf {
 public:
  explicit FcgiOutputBuffer(FCGX_Stream* stream) : stream_(stream) {}
  FcgiOutputBuffer(const FcgiOutputBuffer&) = delete;
  FcgiOutputBuffer& operator=(const FcgiOutputBuffer&) = delete;

 protected:
  int_type overflow(int_type character) override;
  std::streamsize xsputn(const char* source, std::streamsize count) override;
  int sync() override;

 private:
  FCGX_Stream* stream_;
};
