// An output stream over a descriptor the caller owns, for writing a temporary file through
// the descriptor that created it. Failed writes set the stream's badbit; the descriptor is
// neither closed nor reopened.
#pragma once

#include <array>
#include <ostream>
#include <streambuf>

namespace platform {

class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd);
  DescriptorBuffer(const DescriptorBuffer&) = delete;
  DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool flush_buffer();

  int fd_;
  std::array<char, 8192> buffer_;
};

class DescriptorStream : public std::ostream {
 public:
  explicit DescriptorStream(int fd) : std::ostream(nullptr), buffer_(fd) { rdbuf(&buffer_); }

 private:
  DescriptorBuffer buffer_;
};

}  // namespace platform
