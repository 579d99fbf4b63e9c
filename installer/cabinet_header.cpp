#include "installer/cabinet_header.h"

#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/regular_file.h"

namespace installer {

namespace {

constexpr std::uint16_t kVersion = 0x0103;
constexpr std::uint16_t kDefinedFlags = MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB | MSCAB_HDR_RESV;
// Fixed part of a file entry; the name follows, at most 255 bytes and its terminator.
constexpr std::size_t kFileEntryBytes = 16;
constexpr std::size_t kMaxNameBytes = 255;
// Window sizes, as powers of two, that the compression methods define.
constexpr int kSmallestQuantumWindow = 10;
constexpr int kSmallestLzxWindow = 15;
constexpr int kLargestWindow = 21;
// Bounds the format sets on the reserved areas and on a data block.
constexpr std::size_t kMaxHeaderReserve = 60000;
constexpr std::size_t kReserveSizesBytes = 4;
constexpr std::size_t kFolderEntryBytes = 8;
constexpr std::size_t kDataBlockHeaderBytes = 8;
constexpr std::uint16_t kMaxUnpackedBlock = 32768;
constexpr std::uint16_t kMaxStoredBlock = 32768 + 6144;
// The most that can stand before the file entries: header, reserve, four names, folders.
constexpr std::size_t kMaxHead = kCabinetHeaderBytes + kReserveSizesBytes + kMaxHeaderReserve +
                                 4 * 256 + 65535 * (kFolderEntryBytes + 255);
constexpr std::uint16_t kContinuedFromPrevious = 0xFFFD;
constexpr std::uint16_t kContinuedToNext = 0xFFFE;
constexpr std::uint16_t kContinuedBothWays = 0xFFFF;

std::uint16_t u16_at(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t u32_at(std::string_view bytes, std::size_t at) {
  return u16_at(bytes, at) | static_cast<std::uint32_t>(u16_at(bytes, at + 2)) << 16;
}

bool folder_index_fits(std::uint16_t index, const CabinetHeader& header) {
  bool previous = header.flags & MSCAB_HDR_PREVCAB;
  bool next = header.flags & MSCAB_HDR_NEXTCAB;
  switch (index) {
    case kContinuedFromPrevious:
      return previous;
    case kContinuedToNext:
      return next;
    case kContinuedBothWays:
      return previous && next;
    default:
      return index < header.folders;
  }
}

// Moves `at` past the NUL-terminated name there; false when there is none within bounds.
bool skip_name(std::string_view head, std::size_t& at) {
  std::size_t end = head.find('\0', at);
  if (end == std::string_view::npos || end - at > kMaxNameBytes) return false;
  at = end + 1;
  return true;
}

// Reads up to `bytes` bytes at `offset`; fewer only at the end of the file.
std::string read_at(int fd, std::uint64_t offset, std::size_t bytes) {
  std::string data(bytes, '\0');
  std::size_t done = 0;
  while (done < bytes) {
    ssize_t count = pread(fd, data.data() + done, bytes - done, static_cast<off_t>(offset + done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<std::size_t>(count);
  }
  data.resize(done);
  return data;
}

// Each data block has a header of its own in the file, so a file of n bytes holds fewer
// than n / 8 of them; this also bounds the reads of the walk over the blocks.
bool blocks_have_room(const std::vector<FolderEntry>& folders, off_t file_bytes) {
  std::uint64_t blocks = 0;
  for (const FolderEntry& folder : folders) blocks += folder.blocks;
  return blocks * kDataBlockHeaderBytes <= static_cast<std::uint64_t>(file_bytes);
}

// Whether every data block of `folder` lies inside the file and is one an intact cabinet
// holds.
bool data_blocks_fit(int fd, std::uint64_t file_bytes, const FolderEntry& folder,
                     std::size_t data_reserve) {
  bool compressed = (folder.compression & 0x0F) != MSCAB_COMP_NONE;
  std::uint64_t at = folder.data_offset;
  for (int block = 0; block < folder.blocks; ++block) {
    std::optional<std::uint16_t> bytes =
        data_block_bytes(read_at(fd, at, kDataBlockHeaderBytes), compressed);
    if (!bytes) return false;
    at += kDataBlockHeaderBytes + data_reserve + *bytes;
    if (at > file_bytes) return false;
  }
  return true;
}

}  // namespace

bool compression_is_known(int comp_type) {
  int window_bits = (comp_type >> 8) & 0x1F;
  if ((comp_type & ~0x1FFF) != 0) return false;
  switch (comp_type & 0x0F) {
    case MSCAB_COMP_NONE:
    case MSCAB_COMP_MSZIP:
      return (comp_type & ~0x0F) == 0;
    case MSCAB_COMP_QUANTUM:
      return window_bits >= kSmallestQuantumWindow && window_bits <= kLargestWindow;
    case MSCAB_COMP_LZX:
      return (comp_type & 0xF0) == 0 && window_bits >= kSmallestLzxWindow &&
             window_bits <= kLargestWindow;
    default:
      return false;
  }
}

std::optional<CabinetHeader> sound_cabinet_header(std::string_view bytes,
                                                  std::uint64_t file_bytes) {
  if (bytes.size() < kCabinetHeaderBytes || bytes.substr(0, 4) != "MSCF") return std::nullopt;
  bool reserved_clear = u32_at(bytes, 4) == 0 && u32_at(bytes, 12) == 0 && u32_at(bytes, 20) == 0;
  CabinetHeader header{u32_at(bytes, 16), u16_at(bytes, 26), u16_at(bytes, 28), u16_at(bytes, 30)};
  if (!reserved_clear || u32_at(bytes, 8) != file_bytes || u16_at(bytes, 24) != kVersion)
    return std::nullopt;
  if (header.folders == 0 || header.files == 0 || (header.flags & ~kDefinedFlags) != 0)
    return std::nullopt;
  if (header.files_offset < kCabinetHeaderBytes || header.files_offset >= file_bytes)
    return std::nullopt;
  return header;
}

std::optional<std::vector<FolderEntry>> folder_entries(std::string_view head,
                                                       const CabinetHeader& header,
                                                       std::size_t& data_reserve) {
  std::size_t at = kCabinetHeaderBytes;
  std::size_t folder_reserve = 0;
  data_reserve = 0;
  if (header.flags & MSCAB_HDR_RESV) {
    if (head.size() < at + kReserveSizesBytes) return std::nullopt;
    std::size_t header_reserve = u16_at(head, at);
    folder_reserve = static_cast<unsigned char>(head[at + 2]);
    data_reserve = static_cast<unsigned char>(head[at + 3]);
    if (header_reserve > kMaxHeaderReserve) return std::nullopt;
    at += kReserveSizesBytes + header_reserve;
  }
  int names =
      (header.flags & MSCAB_HDR_PREVCAB ? 2 : 0) + (header.flags & MSCAB_HDR_NEXTCAB ? 2 : 0);
  for (int name = 0; name < names; ++name)
    if (at > head.size() || !skip_name(head, at)) return std::nullopt;
  std::vector<FolderEntry> folders;
  for (int folder = 0; folder < header.folders; ++folder) {
    if (at > head.size() || head.size() - at < kFolderEntryBytes + folder_reserve)
      return std::nullopt;
    folders.push_back({u32_at(head, at), u16_at(head, at + 4), u16_at(head, at + 6)});
    at += kFolderEntryBytes + folder_reserve;
  }
  return folders;
}

std::optional<std::uint16_t> data_block_bytes(std::string_view block_header, bool compressed) {
  if (block_header.size() < kDataBlockHeaderBytes) return std::nullopt;
  std::uint16_t stored = u16_at(block_header, 4);
  if (stored > kMaxStoredBlock || u16_at(block_header, 6) > kMaxUnpackedBlock) return std::nullopt;
  if (compressed && u32_at(block_header, 0) == 0) return std::nullopt;
  return stored;
}

bool folder_indexes_fit(std::string_view entries, const CabinetHeader& header) {
  std::size_t at = 0;
  for (int file = 0; file < header.files; ++file) {
    if (entries.size() - at < kFileEntryBytes) return false;
    if (!folder_index_fits(u16_at(entries, at + 8), header)) return false;
    std::size_t name_end = entries.find('\0', at + kFileEntryBytes);
    if (name_end == std::string_view::npos || name_end - at > kFileEntryBytes + kMaxNameBytes)
      return false;
    at = name_end + 1;
  }
  return true;
}

bool cabinet_file_is_sound(const std::string& path) {
  int fd = platform::open_regular_file(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  std::optional<CabinetHeader> header;
  if (fstat(fd, &info) == 0)
    header = sound_cabinet_header(read_at(fd, 0, kCabinetHeaderBytes),
                                  static_cast<std::uint64_t>(info.st_size));
  bool sound = header && header->files_offset <= kMaxHead;
  std::size_t data_reserve = 0;
  std::optional<std::vector<FolderEntry>> folders;
  if (sound) folders = folder_entries(read_at(fd, 0, header->files_offset), *header, data_reserve);
  sound = folders.has_value() && blocks_have_room(*folders, info.st_size);
  for (std::size_t i = 0; sound && i < folders->size(); ++i)
    sound =
        data_blocks_fit(fd, static_cast<std::uint64_t>(info.st_size), (*folders)[i], data_reserve);
  if (sound) {
    std::size_t longest = header->files * (kFileEntryBytes + kMaxNameBytes + 1);
    sound = folder_indexes_fit(read_at(fd, header->files_offset, longest), *header);
  }
  close(fd);
  return sound;
}

}  // namespace installer
