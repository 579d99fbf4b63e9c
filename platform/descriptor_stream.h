// Streams over descriptors, for writing and reading a temporary file through the
// descriptor that created it. DescriptorStream writes at the descriptor's offset and never
// closes it; failed writes set its badbit. FileReader reads a whole file from its start.
#pragma once

#include <sys/types.h>

#include <array>
#include <istream>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

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

// Reads from the start of the file open at `fd` (kept open for the caller, its offset
// untouched) or, when `fd` is -1, of the regular file at `path` (composed as text, see
// native_path; only then looked up), opened without following a link and closed with
// the reader. A file that cannot be opened reads as a failed stream.
class FileReader : public std::istream {
 public:
  FileReader(int fd, std::string_view path);
  ~FileReader() override;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

 private:
  class Buffer : public std::streambuf {
   public:
    explicit Buffer(int fd) : fd_(fd) {}

   protected:
    int_type underflow() override;

   private:
    int fd_;
    off_t offset_ = 0;
    std::array<char, 8192> buffer_;
  };

  int owned_fd_ = -1;
  Buffer buffer_;
};

}  // namespace platform
