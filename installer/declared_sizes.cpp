#include "installer/declared_sizes.h"

#include <sys/statvfs.h>

#include <limits>

namespace installer {

std::optional<std::string> declared_size_refusal(const std::vector<DeclaredFile>& files,
                                                 std::uint64_t free_bytes) {
  std::uint64_t total = 0;
  const DeclaredFile* first_beyond = nullptr;
  for (const DeclaredFile& file : files) {
    if (file.bytes > kMaxDeclaredFileBytes)
      return "'" + file.name + "' declares " + std::to_string(file.bytes) +
             " bytes, more than 1 GiB";
    total += file.bytes;  // each at most 1 GiB here: no overflow
    if (total > free_bytes && first_beyond == nullptr) first_beyond = &file;
  }
  if (first_beyond == nullptr) return std::nullopt;
  return "the files declare " + std::to_string(total) + " bytes, more than the " +
         std::to_string(free_bytes) + " bytes free; '" + first_beyond->name +
         "' is the first that does not fit";
}

std::uint64_t free_bytes_of(const std::string& directory) {
  struct statvfs info;
  if (statvfs(directory.c_str(), &info) != 0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

}  // namespace installer
