#include "platform/descriptor_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/path_map.h"
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

namespace {

int open_for_reading(int fd, std::string_view path) {
  if (fd >= 0) return -1;
  return open_regular_file(native_path(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
}

}  // namespace

FileReader::FileReader(int fd, std::string_view path)
    : std::istream(nullptr),
      owned_fd_(open_for_reading(fd, path)),
      buffer_(fd >= 0 ? fd : owned_fd_) {
  rdbuf(&buffer_);
  if (fd < 0 && owned_fd_ < 0) setstate(std::ios::failbit);
}

FileReader::~FileReader() {
  if (owned_fd_ >= 0) close(owned_fd_);
}

FileReader::Buffer::int_type FileReader::Buffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  ssize_t count = -1;
  do {
    count = fd_ < 0 ? -1 : pread(fd_, buffer_.data(), buffer_.size(), offset_);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) return traits_type::eof();
  offset_ += count;
  setg(buffer_.data(), buffer_.data(), buffer_.data() + count);
  return traits_type::to_int_type(*gptr());
}

}  // namespace platform
