#include "platform/descriptor_stream.h"

#include "platform/regular_file.h"

namespace platform {

DescriptorBuffer::DescriptorBuffer(int fd) : fd_(fd) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

bool DescriptorBuffer::flush_buffer() {
  std::size_t size = static_cast<std::size_t>(pptr() - pbase());
  bool written = fd_ >= 0 && write_all(fd_, pbase(), size);
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return written;
}

DescriptorBuffer::int_type DescriptorBuffer::overflow(int_type c) {
  if (!flush_buffer()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int DescriptorBuffer::sync() { return flush_buffer() ? 0 : -1; }

}  // namespace platform
