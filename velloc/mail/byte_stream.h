// The byte stream an SMTP connection talks through: the plain socket, or TLS over
// that socket. The stream never owns the socket; the connection does, and may shut
// it down from another thread to end a stream that blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // The number of bytes sent (at least 1), or 0 or less when the stream failed.
  virtual long send_some(const char* bytes, std::size_t count) = 0;
  // The number of bytes received (at least 1), 0 when the peer closed the stream,
  // less than 0 when it failed.
  virtual long receive_some(char* bytes, std::size_t count) = 0;
  // Ends the stream politely before the socket is shut down.
  virtual void close() {}
  // Under TLS: whether the handshake resumed the session offered, and the session
  // now (null when plain), to offer on the next connection.
  virtual bool resumed() const { return false; }
  virtual std::shared_ptr<void> session() const { return nullptr; }
};

std::unique_ptr<ByteStream> make_plain_stream(int fd);

struct TlsOptions {
  std::string host;     // the name (or IPv4 address) the certificate must be for
  std::string ca_file;  // empty: the system's trust store
  bool verify = true;
  // A session of an earlier connection to the same server (ByteStream::session) to
  // resume; null: a full handshake.
  std::shared_ptr<void> resume;
};

// Runs the TLS handshake over the connected socket `fd`. On failure returns null
// with the reason (OpenSSL's words) in *reason.
std::unique_ptr<ByteStream> start_tls_stream(int fd, const TlsOptions& options,
                                             std::string* reason);
