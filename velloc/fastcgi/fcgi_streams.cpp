#include "velloc/fastcgi/fcgi_streams.h"

#include <algorithm>
#include <limits>

namespace {

// The library counts in int.
int chunk(std::streamsize count) {
  return static_cast<int>(std::min<std::streamsize>(count, std::numeric_limits<int>::max()));
}

}  // namespace

FcgiInputBuffer::int_type FcgiInputBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  int got = FCGX_GetStr(buffer_.data(), static_cast<int>(buffer_.size()), stream_);
  if (got <= 0) return traits_type::eof();
  setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
  return traits_type::to_int_type(buffer_[0]);
}

std::streamsize FcgiInputBuffer::xsgetn(char* target, std::streamsize count) {
  std::streamsize done = std::min<std::streamsize>(count, egptr() - gptr());
  std::copy_n(gptr(), done, target);
  gbump(static_cast<int>(done));
  while (done < count) {
    int got = FCGX_GetStr(target + done, chunk(count - done), stream_);
    if (got <= 0) break;
    done += got;
  }
  return done;
}

FcgiOutputBuffer::int_type FcgiOutputBuffer::overflow(int_type character) {
  if (traits_type::eq_int_type(character, traits_type::eof()))
    return traits_type::not_eof(character);
  if (FCGX_PutChar(traits_type::to_char_type(character), stream_) < 0) return traits_type::eof();
  return character;
}

std::streamsize FcgiOutputBuffer::xsputn(const char* source, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    int put = FCGX_PutStr(source + done, chunk(count - done), stream_);
    if (put <= 0) break;
    done += put;
  }
  return done;
}

int FcgiOutputBuffer::sync() { return FCGX_GetError(stream_) == 0 ? 0 : -1; }
