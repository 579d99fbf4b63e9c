#include "velloc/fastcgi/fcgi_records.h"

#include <algorithm>

namespace fcgi {

namespace {

constexpr std::size_t kAlignment = 8;
constexpr unsigned char kLongLength = 0x80;

void put_u16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xff));
}

// The length opening `bytes` and how many bytes it takes; 0 when more must come.
std::size_t length_at(std::string_view bytes, std::size_t* length) {
  if (bytes.empty()) return 0;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if ((byte(0) & kLongLength) == 0) {
    *length = byte(0);
    return 1;
  }
  if (bytes.size() < 4) return 0;
  *length =
      (static_cast<std::size_t>(byte(0) & 0x7f) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
  return 4;
}

std::string encode_length(std::size_t length) {
  if (length < kLongLength) return std::string(1, static_cast<char>(length));
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((length >> shift) & 0xff));
  out[0] = static_cast<char>(out[0] | static_cast<char>(kLongLength));
  return out;
}

}  // namespace

RecordHeader decode_header(const unsigned char* bytes) {
  RecordHeader header;
  header.version = bytes[0];
  header.type = bytes[1];
  header.request_id = static_cast<std::uint16_t>((bytes[2] << 8) | bytes[3]);
  header.content_length = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  header.padding_length = bytes[6];
  return header;
}

std::string encode_record(unsigned char type, std::uint16_t request_id, std::string_view content) {
  std::size_t padding = (kAlignment - content.size() % kAlignment) % kAlignment;
  std::string out;
  out.reserve(kHeaderSize + content.size() + padding);
  out.push_back(static_cast<char>(kVersion));
  out.push_back(static_cast<char>(type));
  put_u16(out, request_id);
  put_u16(out, static_cast<std::uint16_t>(content.size()));
  out.push_back(static_cast<char>(padding));
  out.push_back('\0');
  out.append(content);
  out.append(padding, '\0');
  return out;
}

std::string end_request_record(std::uint16_t request_id, ProtocolStatus status) {
  std::string body(8, '\0');  // application status 0, then the protocol status
  body[4] = static_cast<char>(status);
  return encode_record(kEndRequest, request_id, body);
}

std::string get_values_result(std::string_view query) {
  std::string answer;
  std::size_t name_length = 0;
  std::size_t value_length = 0;
  while (std::size_t used = length_at(query, &name_length)) {
    query.remove_prefix(used);
    used = length_at(query, &value_length);
    if (used == 0 || query.size() - used < name_length + value_length) break;
    std::string_view name = query.substr(used, name_length);
    query.remove_prefix(used + name_length + value_length);
    std::string_view value = name == "FCGI_MPXS_CONNS"                             ? "0"
                             : name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS" ? "1"
                                                                                   : "";
    if (value.empty()) continue;
    std::string pair = encode_length(name.size()) + encode_length(value.size());
    pair.append(name).append(value);
    if (answer.size() + pair.size() > kMaxContent) break;
    answer += pair;
  }
  return encode_record(kGetValuesResult, 0, answer);
}

std::string unknown_type_record(unsigned char type) {
  std::string body(8, '\0');
  body[0] = static_cast<char>(type);
  return encode_record(kUnknownType, 0, body);
}

bool ParamsDecoder::take_lengths(std::string_view& content) {
  std::size_t value_length = 0;
  while (!content.empty()) {
    pending_.push_back(content.front());
    content.remove_prefix(1);
    std::size_t used = length_at(pending_, &name_length_);
    if (used == 0 || length_at(std::string_view(pending_).substr(used), &value_length) == 0)
      continue;
    std::size_t entry = name_length_ + 1 + value_length;
    total_ += entry + 1;
    refused_ = entry > max_entry_ || total_ > max_total_;
    pending_.clear();
    wanted_ = name_length_ + value_length;
    in_pair_ = true;
    return !refused_;
  }
  return false;
}

void ParamsDecoder::take_pair(std::string_view& content) {
  std::size_t taken = std::min(wanted_, content.size());
  pending_.append(content.substr(0, taken));
  content.remove_prefix(taken);
  wanted_ -= taken;
  if (wanted_ > 0) return;
  pending_.insert(name_length_, 1, '=');
  entries_.push_back(std::move(pending_));
  pending_.clear();
  in_pair_ = false;
}

bool ParamsDecoder::feed(std::string_view content) {
  while (!refused_ && !content.empty()) {
    if (!in_pair_ && !take_lengths(content)) continue;
    take_pair(content);
  }
  return !refused_;
}

}  // namespace fcgi
