// SHA-256 (FIPS 180-4) of data given in pieces, for the digests the archive
// keeps of each upload. Pure computation; an object digests one input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
 public:
  Sha256();
  void update(std::string_view data);
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string hex_digest();

 private:
  void compress(const unsigned char* block);

  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes
};
