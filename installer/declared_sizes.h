// Whether the files of an archive may be written, judged from the sizes the archive declares
// before any of its data is written: no file may declare more than 1 GiB, and all of them
// together no more than the free space where they go. A damaged or hostile archive can
// otherwise fill the disk from a few compressed bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace installer {

inline constexpr std::uint64_t kMaxDeclaredFileBytes = std::uint64_t{1} << 30;

struct DeclaredFile {
  // The entry's name as it may be shown (see shown_name in cabinet_entry.h).
  std::string name;
  std::uint64_t bytes;
};

// Nothing when the files may be written into a file system with `free_bytes` available;
// otherwise why not, as one line without a line end that names the first file that does
// not fit.
std::optional<std::string> declared_size_refusal(const std::vector<DeclaredFile>& files,
                                                 std::uint64_t free_bytes);

// The bytes available to the installer on the file system of `directory`; the largest
// value when that cannot be learnt (the files then fail as they are opened).
std::uint64_t free_bytes_of(const std::string& directory);

}  // namespace installer
