// One TCP connection to an SMTP server, plain or under TLS, and the two primitives of the protocol
// layer: send_line (format, cut, turn line ends into CR LF) and read_reply (one
// complete reply, judged by its last line). The connection owns its socket and
// closes it when destroyed. abandon() may be called from another thread to end a
// conversation that hangs: it shuts the socket down so that blocking calls return.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/mail/byte_sink.h"
#include "velloc/mail/byte_stream.h"
#include "velloc/mail/mail_message.h"

class SmtpConnection : public ByteSink {
 public:
  SmtpConnection() = default;
  // Adopts an already connected socket.
  explicit SmtpConnection(int fd) : fd_(fd), stream_(make_plain_stream(fd)) {}
  ~SmtpConnection() override;
  SmtpConnection(const SmtpConnection&) = delete;
  SmtpConnection& operator=(const SmtpConnection&) = delete;

  // Connects to `address`, polling at most `polls` times 25 ms apart (returning as
  // soon as the connection is made or has failed). False with the error number in
  // *error otherwise.
  bool connect_to(const sockaddr_in& address, int polls, int* error);

  // Runs the TLS handshake; from then on every byte goes through TLS. False with
  // the reason in *reason when the handshake or the verification failed.
  bool start_tls(const TlsOptions& options, std::string* reason);

  // Output is buffered and sent before every read and when the buffer fills.
  void write_bytes(std::string_view bytes) override;
  void flush();

  enum class ReadStatus { kByte, kClosed, kError };
  ReadStatus read_byte(char* byte);

  // Shuts both directions down (the QUIT step, and abandon()).
  void shutdown_both();
  // Thread-safe: marks the connection abandoned and shuts the socket down.
  void abandon();
  bool abandoned() const { return abandoned_.load(); }

 private:
  static constexpr std::size_t kOutputBuffer = 64 * 1024;
  bool wait_until_connected(int polls, int* error);

  std::mutex fd_mutex_;  // guards fd_ against a concurrent abandon()
  int fd_ = -1;
  std::unique_ptr<ByteStream> stream_;
  std::atomic<bool> abandoned_{false};
  std::string output_;
};

// Formats the text into 2000 bytes (1999 kept) and writes it with every line end
// as CR LF: a carriage return is dropped, a line feed becomes CR LF. Text that is
// already in CR LF form (the boundary lines, the end of data) leaves unchanged; no
// bare line feed ever reaches the server.
void send_line(ByteSink& sink, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The wire form of a formatted line, as send_line sends it.
std::string wire_line(std::string_view text);

enum class Reply { kPositive, kNegative, kBroken };

// Reads one complete reply, logging each line at type 15 "MS - %s". Positive when
// its last line begins with "2" or "3". kBroken when the read fails (logged at
// type 1) or the connection was abandoned (not logged).
Reply read_reply(const MailMessage& message, SmtpConnection& connection);
// The same, keeping the reply's lines (without their line ends) in *lines.
Reply read_reply(const MailMessage& message, SmtpConnection& connection,
                 std::vector<std::string>* lines);

// The server's host and port from the SMTP setting, which may be "host:port".
struct ServerAddress {
  std::string host;
  std::uint32_t port = 25;
};
ServerAddress parse_server_setting(const std::string& setting, std::uint32_t default_port);

inline constexpr std::size_t kMaxReplyLine = 2999;
inline constexpr std::size_t kMaxSendLine = 1999;
