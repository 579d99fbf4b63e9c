// The fixed header at the start of a cabinet file and the folder index of each of its file
// entries, read from the file itself. The decoder takes these fields on trust (it accepts a
// stated length that is not the file's, reserved fields that are set, and files said to
// continue into a cabinet the header does not name); an intact cabinet has none of that.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace installer {

inline constexpr std::size_t kCabinetHeaderBytes = 36;

// The header fields that the checks of the file entries need.
struct CabinetHeader {
  std::uint32_t files_offset = 0;
  std::uint16_t folders = 0;
  std::uint16_t files = 0;
  std::uint16_t flags = 0;
};

// The header of a cabinet of `file_bytes` bytes from its first kCabinetHeaderBytes bytes:
// nothing unless the signature is there, the reserved fields are zero, the stated length
// is the file's, the version is 1.3, there are folders and files, the file entries start
// inside the file and no flag beyond the three defined ones is set.
std::optional<CabinetHeader> sound_cabinet_header(std::string_view bytes, std::uint64_t file_bytes);

// Whether the file entries (the bytes from the header's files_offset on) are all there and
// each names a folder of this cabinet, or continues from a previous or into a next cabinet
// only when the header names that cabinet.
bool folder_indexes_fit(std::string_view entries, const CabinetHeader& header);

// Whether a folder's compression word names a method and window size the format defines:
// none and MSZIP with no further bits, Quantum with a window of 2^10 to 2^21 bytes, LZX with
// one of 2^15 to 2^21 bytes.
bool compression_is_known(int comp_type);

// Both header checks over the regular file at `path`.
bool cabinet_file_is_sound(const std::string& path);

}  // namespace installer
