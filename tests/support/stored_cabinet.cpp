#include "tests/support/stored_cabinet.h"

namespace testing_support {

namespace {

void u16(std::string& out, unsigned value) {
  out += static_cast<char>(value & 0xff);
  out += static_cast<char>((value >> 8) & 0xff);
}

void u32(std::string& out, unsigned value) {
  u16(out, value & 0xffff);
  u16(out, value >> 16);
}

}  // namespace

std::string stored_cabinet(const std::vector<StoredFile>& files) {
  std::string entries, data;
  for (const StoredFile& file : files) {
    u32(entries, file.declared_bytes.value_or(static_cast<std::uint32_t>(file.content.size())));
    u32(entries, static_cast<unsigned>(data.size()));
    u16(entries, 0);                                    // folder
    u16(entries, ((2004 - 1980) << 9) | (6 << 5) | 1);  // date
    u16(entries, 12 << 11);                             // time
    u16(entries, 0x20);
    entries += file.name + '\0';
    data += file.content;
  }
  const unsigned files_offset = 36 + 8;
  const unsigned data_offset = files_offset + static_cast<unsigned>(entries.size());
  std::string cabinet = "MSCF";
  u32(cabinet, 0);
  u32(cabinet, data_offset + 8 + static_cast<unsigned>(data.size()));
  u32(cabinet, 0);
  u32(cabinet, files_offset);
  u32(cabinet, 0);
  cabinet += '\x03';
  cabinet += '\x01';
  u16(cabinet, 1);  // folders
  u16(cabinet, static_cast<unsigned>(files.size()));
  u16(cabinet, 0);  // flags
  u16(cabinet, 0);  // set id
  u16(cabinet, 0);  // index in set
  u32(cabinet, data_offset);
  u16(cabinet, 1);  // data blocks
  u16(cabinet, 0);  // stored
  cabinet += entries;
  u32(cabinet, 0);  // no checksum
  u16(cabinet, static_cast<unsigned>(data.size()));
  u16(cabinet, static_cast<unsigned>(data.size()));
  return cabinet + data;
}

}  // namespace testing_support
