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

std::uint32_t block_checksum(const std::string& bytes, std::uint32_t seed) {
  std::uint32_t sum = seed;
  std::size_t whole = bytes.size() / 4 * 4;
  auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(bytes[i] & 0xff); };
  for (std::size_t i = 0; i < whole; i += 4)
    sum ^= byte(i) | byte(i + 1) << 8 | byte(i + 2) << 16 | byte(i + 3) << 24;
  std::uint32_t rest = 0;
  for (std::size_t i = whole; i < bytes.size(); ++i) rest = rest << 8 | byte(i);
  return sum ^ rest;
}

std::string neighbour_names(const CabinetShape& shape) {
  std::string names;
  if (shape.flags & 0x01) names += shape.previous_name + '\0' + "disk" + '\0';
  if (shape.flags & 0x02) names += shape.next_name + '\0' + "disk" + '\0';
  return names;
}

}  // namespace

std::string stored_cabinet(const std::vector<StoredFile>& files, const CabinetShape& shape) {
  std::string entries, data;
  for (const StoredFile& file : files) {
    u32(entries, file.declared_bytes.value_or(static_cast<std::uint32_t>(file.content.size())));
    u32(entries, static_cast<unsigned>(data.size()));
    u16(entries, file.folder);
    u16(entries, file.dos_date);
    u16(entries, file.dos_time);
    u16(entries, file.attribs);
    entries += file.name + '\0';
    data += file.content;
  }
  const std::string packed = shape.packed_data.value_or(data);
  const std::string names = neighbour_names(shape);
  const unsigned files_offset = 36 + static_cast<unsigned>(names.size()) + 8;
  const unsigned data_offset = files_offset + static_cast<unsigned>(entries.size());
  std::string cabinet = "MSCF";
  u32(cabinet, shape.reserved);
  u32(cabinet, data_offset + 8 + static_cast<unsigned>(packed.size() - shape.cut_bytes) +
                   shape.length_change);
  u32(cabinet, shape.reserved);
  u32(cabinet, files_offset);
  u32(cabinet, shape.reserved);
  u16(cabinet, shape.version);
  u16(cabinet, 1);  // folders
  u16(cabinet, static_cast<unsigned>(files.size()));
  u16(cabinet, shape.flags);
  u16(cabinet, 0);  // set id
  u16(cabinet, shape.set_index);
  cabinet += names;
  u32(cabinet, data_offset);
  u16(cabinet, 1);  // data blocks
  u16(cabinet, shape.compression);
  cabinet += entries;
  std::string sizes;
  u16(sizes, static_cast<unsigned>(packed.size()));
  u16(sizes, static_cast<unsigned>(data.size()));
  std::uint32_t checksum = block_checksum(sizes, block_checksum(packed, 0)) ^ shape.checksum_change;
  u32(cabinet, shape.checksum ? checksum : 0);
  cabinet += sizes + packed;
  return cabinet.substr(0, cabinet.size() - shape.cut_bytes);
}

}  // namespace testing_support
