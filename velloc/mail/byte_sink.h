// Where the bytes of an SMTP conversation go: the connection in the product, a
// string in tests. The sink is owned by whoever writes to it.
#pragma once

#include <string>
#include <string_view>

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes the bytes; failures are not reported (a broken connection shows up when
  // the next reply is read).
  virtual void write_bytes(std::string_view bytes) = 0;
};

// Collects everything written, for tests and transcripts.
class StringSink : public ByteSink {
 public:
  void write_bytes(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};
