// Test support: cabinets written byte by byte from the documented layout, for stored names,
// declared sizes and header fields that no cabinet tool would write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct StoredFile {
  std::string name;
  std::string content;
  // The size the file entry declares; the content's size when not given.
  std::optional<std::uint32_t> declared_bytes = std::nullopt;
  std::uint16_t folder = 0;
  std::uint16_t attribs = 0x20;
  std::uint16_t dos_date = ((2004 - 1980) << 9) | (6 << 5) | 1;
  std::uint16_t dos_time = 12 << 11;
};

// What a test wants out of the ordinary in a cabinet's headers and its data block.
struct CabinetShape {
  std::uint16_t version = 0x0103;
  std::uint32_t reserved = 0;      // written to all three reserved fields
  std::int32_t length_change = 0;  // added to the length the header states
  // Header flags; with 0x01 or 0x02 set, the previous or next cabinet's name is written.
  std::uint16_t flags = 0;
  std::string previous_name = "previous.cab";
  std::string next_name = "next.cab";
  std::uint16_t set_index = 0;
  std::uint16_t compression = 0;
  bool checksum = false;
  std::uint32_t checksum_change = 0;  // xor-ed into the right checksum
  // Bytes cut from the end of the cabinet, and from the length its header states.
  std::size_t cut_bytes = 0;
  // The data block as stored, in place of the files' contents one after another.
  std::optional<std::string> packed_data = std::nullopt;
};

// A cabinet of one folder in one data block.
std::string stored_cabinet(const std::vector<StoredFile>& files, const CabinetShape& shape = {});

}  // namespace testing_support
