#include "velloc/fastcgi/fcgi_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::size_t kEntry = 128 * 1024;
constexpr std::size_t kTotal = 1024 * 1024;

std::string length_bytes(std::size_t length) {
  if (length < 128) return std::string(1, static_cast<char>(length));
  return {static_cast<char>(0x80 | (length >> 24)), static_cast<char>((length >> 16) & 0xff),
          static_cast<char>((length >> 8) & 0xff), static_cast<char>(length & 0xff)};
}

std::string pair(const std::string& name, const std::string& value) {
  return length_bytes(name.size()) + length_bytes(value.size()) + name + value;
}

TEST(ParamsDecoder, BoundsOnOneAndOnAllHoldBeforeTheBytesArrive) {
  const std::string longest_value(kEntry - 12, 'c');  // "HTTP_COOKIE=" and the value
  struct Case {
    std::string content;
    std::vector<std::string> entries;  // when accepted
    bool refused;
    bool complete;
  };
  std::string seven, eight;
  for (int i = 0; i < 8; ++i) (i < 7 ? seven : eight) += pair("HTTP_COOKIE", longest_value);
  eight = seven + eight;
  const Case cases[] = {
      {"", {}, false, true},
      {pair("REQUEST_METHOD", "POST") + pair("CONTENT_LENGTH", "5"),
       {"REQUEST_METHOD=POST", "CONTENT_LENGTH=5"},
       false,
       true},
      {pair("", "") + pair("A", std::string(200, 'v')),
       {"=", "A=" + std::string(200, 'v')},
       false,
       true},
      {pair("HTTP_COOKIE", longest_value), {"HTTP_COOKIE=" + longest_value}, false, true},
      {pair("HTTP_COOKIE", longest_value + "c"), {}, true, false},
      // Seven of the longest fit in the whole, eight do not.
      {seven, std::vector<std::string>(7, "HTTP_COOKIE=" + longest_value), false, true},
      {eight, {}, true, false},
      // Lengths alone: refused with none of the two gigabytes they announce.
      {"\xff\xff\xff\xff\xff\xff\xff\xff", {}, true, false},
      {pair("A", "1").substr(0, 3), {}, false, false},
      {"\x85", {}, false, false},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {c.content.size() + 1, std::size_t{1}, std::size_t{5}}) {
      fcgi::ParamsDecoder decoder(kEntry, kTotal);
      for (std::size_t at = 0; at < c.content.size(); at += piece)
        decoder.feed(std::string_view(c.content).substr(at, piece));
      EXPECT_EQ(c.refused, decoder.refused()) << c.content.size() << " by " << piece;
      EXPECT_EQ(c.complete, decoder.complete()) << c.content.size() << " by " << piece;
      if (!c.refused && c.complete) {
        EXPECT_EQ(c.entries, decoder.entries());
      }
    }
  }
}

TEST(FcgiRecords, ExactBytes) {
  using namespace std::string_literals;
  EXPECT_EQ(
      "\x01\x06\x00\x01\x00\x03\x05\x00"
      "abc\0\0\0\0\0"s,
      fcgi::encode_record(fcgi::kStdout, 1, "abc"));
  EXPECT_EQ("\x01\x06\x01\x02\x00\x00\x00\x00"s, fcgi::encode_record(fcgi::kStdout, 258, ""));
  EXPECT_EQ(
      "\x01\x03\x00\x07\x00\x08\x00\x00"
      "\0\0\0\0\x01\0\0\0"s,
      fcgi::end_request_record(7, fcgi::kCantMultiplex));
  EXPECT_EQ(
      "\x01\x0b\x00\x00\x00\x08\x00\x00"
      "\x0c\0\0\0\0\0\0\0"s,
      fcgi::unknown_type_record(12));
  std::string asked = pair("FCGI_MAX_CONNS", "") + pair("OTHER", "") + pair("FCGI_MPXS_CONNS", "");
  std::string known = pair("FCGI_MAX_CONNS", "1") + pair("FCGI_MPXS_CONNS", "0");
  EXPECT_EQ(fcgi::encode_record(fcgi::kGetValuesResult, 0, known), fcgi::get_values_result(asked));
  EXPECT_EQ(fcgi::encode_record(fcgi::kGetValuesResult, 0, ""),
            fcgi::get_values_result(std::string("\x0e\x00"
                                                "FCGI_MAX",
                                                10)));  // cut short
  fcgi::RecordHeader header = fcgi::decode_header(
      reinterpret_cast<const unsigned char*>("\x01\x05\x01\x02\xff\xfe\x07\x00"));
  EXPECT_EQ(1, header.version);
  EXPECT_EQ(fcgi::kStdin, header.type);
  EXPECT_EQ(258, header.request_id);
  EXPECT_EQ(65534, header.content_length);
  EXPECT_EQ(7, header.padding_length);
}

}  // namespace
