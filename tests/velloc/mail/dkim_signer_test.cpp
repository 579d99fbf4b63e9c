#include "velloc/mail/dkim_signer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the signer is fed from a wire-form mail read in pieces of `size` bytes:
// "F[field]" per header field, "|" at the end of the header, then the body.
std::string fed(std::string_view wire, std::size_t size) {
  std::string seen;
  WireMessageReader reader([&](std::string_view f) { seen += "F[" + std::string(f) + "]"; },
                           [&] { seen += "|"; }, [&](std::string_view b) { seen += b; });
  for (std::size_t at = 0; at < wire.size(); at += size) reader.read(wire.substr(at, size));
  reader.finish();
  return seen;
}

TEST(WireMessageReader, GivesWholeFieldsAndTheBodyWithoutDotStuffing) {
  struct Case {
    std::string wire;
    std::string expected;
  };
  const Case cases[] = {
      {"From: a@x.test\r\nSubject: hi\r\n\r\nbody\r\n", "F[From: a@x.test]F[Subject: hi]|body\r\n"},
      // A folded field stays one, its line ends kept.
      {"To: a@x.test,\r\n\tb@x.test\r\nX: 1\r\n\r\n", "F[To: a@x.test,\r\n\tb@x.test]F[X: 1]|"},
      // Dot-stuffing undone at each line start, and only there.
      {"A: 1\r\n\r\n..\r\n..x.\r\na.b\r\n", "F[A: 1]|.\r\n.x.\r\na.b\r\n"},
      {"A: 1\r\n\r\n", "F[A: 1]|"},
      // A header without its blank line ends with the mail.
      {"A: 1\r\nB: 2", "F[A: 1]F[B: 2]|"},
  };
  for (const Case& c : cases)
    for (std::size_t size : {std::size_t{1}, std::size_t{3}, c.wire.size()})
      EXPECT_EQ(c.expected, fed(c.wire, size)) << c.wire << " in pieces of " << size;
}

}  // namespace
