// The headers of a cabinet file (the fixed header, the folder entries, the folder index of
// each file entry and the header of each data block) read from the file itself. The decoder
// takes these fields on trust: it accepts a stated length that is not the file's, reserved
// fields that are set, files said to continue into a cabinet the header does not name, and
// compressed data without a checksum, which it cannot tell from noise. An intact cabinet,
// as every cabinet writer makes it, has none of that.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Where a folder's data blocks start, how many there are and how they are compressed.
struct FolderEntry {
  std::uint32_t data_offset = 0;
  std::uint16_t blocks = 0;
  std::uint16_t compression = 0;
};

// The part of a cabinet before its file entries (the header's files_offset bytes): the
// reserve sizes, the neighbours' names and the folder entries. Nothing when it is cut short
// or a reserve is larger than the format allows. `data_reserve` is set to the number of
// reserved bytes in each data block's header.
std::optional<std::vector<FolderEntry>> folder_entries(std::string_view head,
                                                       const CabinetHeader& header,
                                                       std::size_t& data_reserve);

// The stored size of the data block whose fixed 8-byte header is `block_header`, when the
// block is one an intact cabinet holds: at most 32 KiB once unpacked, at most 38 KiB as
// stored, and with a checksum when its folder is `compressed`.
std::optional<std::uint16_t> data_block_bytes(std::string_view block_header, bool compressed);

// Whether the file entries (the bytes from the header's files_offset on) are all there and
// each names a folder of this cabinet, or continues from a previous or into a next cabinet
// only when the header names that cabinet.
bool folder_indexes_fit(std::string_view entries, const CabinetHeader& header);

// Whether a folder's compression word names a method and window size the format defines:
// none and MSZIP with no further bits, Quantum with a window of 2^10 to 2^21 bytes, LZX with
// one of 2^15 to 2^21 bytes.
bool compression_is_known(int comp_type);

// All of these checks over the regular file at `path`, every data block lying inside it.
bool cabinet_file_is_sound(const std::string& path);

}  // namespace installer
