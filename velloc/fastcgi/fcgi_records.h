// The FastCGI record layer of a responder: the eight-byte header every record opens
// with, the records it writes, and the request's parameters (FCGI_PARAMS) decoded as
// their bytes arrive, each pair's size counted against the bounds before it is kept.
// Pure: no sockets, no clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fcgi {

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kMaxContent = 65535;
inline constexpr unsigned char kVersion = 1;

enum RecordType : unsigned char {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

inline constexpr std::uint16_t kResponder = 1;
inline constexpr unsigned char kKeepConnection = 1;  // FCGI_BEGIN_REQUEST's flags

// The protocol status of FCGI_END_REQUEST.
enum ProtocolStatus : unsigned char {
  kRequestComplete = 0,
  kCantMultiplex = 1,
  kUnknownRole = 3,
};

struct RecordHeader {
  unsigned char version = 0;
  unsigned char type = 0;
  std::uint16_t request_id = 0;
  std::uint16_t content_length = 0;
  unsigned char padding_length = 0;
};

// The header in the first kHeaderSize bytes of `bytes`.
RecordHeader decode_header(const unsigned char* bytes);

// One record of `type` with `content` (at most kMaxContent bytes), padded to a
// multiple of eight bytes.
std::string encode_record(unsigned char type, std::uint16_t request_id, std::string_view content);

// FCGI_END_REQUEST with the application's exit status and `status`.
std::string end_request_record(std::uint16_t request_id, ProtocolStatus status);

// FCGI_GET_VALUES_RESULT for the names asked in `query` that this server knows:
// one connection at a time per worker, one request per connection.
std::string get_values_result(std::string_view query);

// FCGI_UNKNOWN_TYPE for a management record of `type`.
std::string unknown_type_record(unsigned char type);

// Decodes FCGI_PARAMS content fed in pieces into "NAME=value" entries. A pair whose
// "NAME=value" would exceed `max_entry` bytes, or that would take all the entries
// (each with a terminating byte) past `max_total`, is refused as soon as its lengths
// have arrived: its bytes are never kept.
class ParamsDecoder {
 public:
  ParamsDecoder(std::size_t max_entry, std::size_t max_total)
      : max_entry_(max_entry), max_total_(max_total) {}

  // False once the parameters are over the bounds; what follows is ignored.
  bool feed(std::string_view content);
  bool refused() const { return refused_; }
  // True when the stream ended between two pairs.
  bool complete() const { return pending_.empty() && !in_pair_; }
  const std::vector<std::string>& entries() const { return entries_; }

 private:
  // Moves the lengths of the next pair from `content`; false until they are all there.
  bool take_lengths(std::string_view& content);
  // Moves the pair's bytes from `content`; the entry once the last has come.
  void take_pair(std::string_view& content);

  std::size_t max_entry_;
  std::size_t max_total_;
  std::size_t total_ = 0;
  std::string pending_;  // the lengths, then the pair, as they arrive
  std::size_t name_length_ = 0;
  bool in_pair_ = false;    // the lengths are known, the pair's bytes are coming
  std::size_t wanted_ = 0;  // bytes of the pair still to come
  bool refused_ = false;
  std::vector<std::string> entries_;
};

}  // namespace fcgi
