// Test support: cabinets written byte by byte from the documented layout, for stored names
// and declared sizes that no cabinet tool would write.
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
};

// A cabinet of one uncompressed folder in one data block without a checksum.
std::string stored_cabinet(const std::vector<StoredFile>& files);

}  // namespace testing_support
