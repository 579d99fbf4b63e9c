#include "velloc/template_file.h"

#include <sys/stat.h>

#include <string>

#include "platform/path_map.h"

bool open_template_file(std::string_view composed_path, std::ifstream& file) {
  if (composed_path.empty()) return false;
  std::string native = platform::native_path(composed_path);
  struct stat info;
  if (stat(native.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  file.open(native, std::ios::in | std::ios::binary);
  return file.is_open();
}
