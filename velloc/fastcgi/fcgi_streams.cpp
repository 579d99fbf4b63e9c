#include "velloc/fastcgi/fcgi_streams.h"

#include <algorithm>

FcgiInputBuffer::int_type FcgiInputBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  std::size_t got = connection_.read_body(buffer_.data(), buffer_.size());
  if (got == 0) return traits_type::eof();
  setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
  return traits_type::to_int_type(buffer_[0]);
}

std::streamsize FcgiInputBuffer::xsgetn(char* target, std::streamsize count) {
  std::streamsize done = std::min<std::streamsize>(count, egptr() - gptr());
  std::copy_n(gptr(), done, target);
  gbump(static_cast<int>(done));
  while (done < count) {
    std::size_t got = connection_.read_body(target + done, static_cast<std::size_t>(count - done));
    if (got == 0) break;
    done += static_cast<std::streamsize>(got);
  }
  return done;
}

FcgiOutputBuffer::int_type FcgiOutputBuffer::overflow(int_type character) {
  if (traits_type::eq_int_type(character, traits_type::eof()))
    return traits_type::not_eof(character);
  char byte = traits_type::to_char_type(character);
  return connection_.write_answer(&byte, 1) ? character : traits_type::eof();
}

std::streamsize FcgiOutputBuffer::xsputn(const char* source, std::streamsize count) {
  return connection_.write_answer(source, static_cast<std::size_t>(count)) ? count : 0;
}
