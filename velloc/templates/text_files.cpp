#include "velloc/templates/text_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <ostream>

#include "platform/path_map.h"
#include "platform/regular_file.h"

namespace {

constexpr std::size_t kCopyPiece = 1499;

// Cuts the file back to `size` bytes, keeping the errno of the failed write.
void take_back(int fd, off_t size) {
  int saved = errno;
  if (size >= 0 && ftruncate(fd, size) != 0) {
    // Nothing more can be done for a file that refuses to shrink.
  }
  errno = saved;
}

}  // namespace

bool open_text_for_reading(std::string_view composed_path, std::ifstream& in) {
  if (composed_path.empty()) return false;
  std::string native = platform::native_path(composed_path);
  struct stat info;
  if (stat(native.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  in.open(native, std::ios::in);
  return in.is_open();
}

bool can_open_for_reading(std::string_view composed_path) {
  std::ifstream probe;
  return open_text_for_reading(composed_path, probe);
}

TextWrite append_text(const std::string& composed_path, const std::string& text) {
  if (composed_path.empty()) {
    errno = ENOENT;
    return TextWrite::kNotOpened;
  }
  std::string native = platform::native_path_for_create(composed_path);
  int fd = platform::open_output_file(native.c_str(), platform::OutputMode::kAppend);
  if (fd < 0) return TextWrite::kNotOpened;
  TextWrite result = append_text_at(fd, text);
  int saved = errno;
  close(fd);
  errno = saved;
  return result;
}

TextWrite append_text_at(int fd, const std::string& text) {
  struct stat info;
  off_t size = fstat(fd, &info) == 0 ? info.st_size : -1;
  bool written = platform::write_all(fd, text.data(), text.size());
  if (!written) take_back(fd, size);
  return written ? TextWrite::kWritten : TextWrite::kNotWritten;
}

TextWrite replace_text(const std::string& composed_path, const std::string& text) {
  std::string native = platform::native_path_for_create(composed_path);
  if (composed_path.empty() || native.empty()) {
    errno = ENOENT;
    return TextWrite::kNotOpened;
  }
  if (platform::replace_file(native, text)) return TextWrite::kWritten;
  return errno == ENOSPC || errno == EFBIG || errno == EDQUOT || errno == EIO
             ? TextWrite::kNotWritten
             : TextWrite::kNotOpened;
}

bool refused_as_unsafe(int error) {
  return error == ELOOP || error == EINVAL || error == EMLINK || error == EISDIR;
}

void copy_text_pieces(std::istream& in, std::ostream& out) {
  char piece[kCopyPiece];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    out.write(piece, in.gcount());
  }
}

std::string resolve_relative_path(const std::string& value, const std::string& template_path) {
  if (value.empty()) return value;
  if (value.find('\\') != std::string::npos || value.front() == '/') return value;
  std::size_t separator = template_path.rfind('\\');
  if (separator == std::string::npos) separator = template_path.rfind('/');
  if (separator == std::string::npos) return value;
  return template_path.substr(0, separator + 1) + value;
}
