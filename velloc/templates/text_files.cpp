#include "velloc/templates/text_files.h"

#include <sys/stat.h>

#include <filesystem>
#include <istream>
#include <ostream>

#include "platform/path_map.h"

namespace {

constexpr std::size_t kCopyPiece = 1499;

bool is_directory(const std::string& native) {
  std::error_code ignored;
  return std::filesystem::is_directory(native, ignored);
}

bool open_for_output(const std::string& composed_path, std::ios::openmode mode,
                     std::ofstream& out) {
  if (composed_path.empty()) return false;
  std::string native = platform::native_path_for_create(composed_path);
  if (is_directory(native)) return false;
  out.open(native, mode);
  return out.is_open();
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

bool open_text_for_append(const std::string& composed_path, std::ofstream& out) {
  return open_for_output(composed_path, std::ios::out | std::ios::app, out);
}

bool open_text_for_writing(const std::string& composed_path, std::ofstream& out) {
  return open_for_output(composed_path, std::ios::out | std::ios::trunc, out);
}

void copy_text_pieces(std::istream& in, std::ostream& out) {
  char piece[kCopyPiece];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    out.write(piece, in.gcount());
  }
}
