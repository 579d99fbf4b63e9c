// One TCP connection to an SMTP server, plain or under TLS, and the primitives of
// the protocol layer: send_line (one whole line with CR LF line ends, never cut),
// read_reply (one complete reply, read through the connection's buffer and judged
// by smtp_reply.h) and send_command (both). The connection owns its socket and
// closes it when destroyed. A deadline bounds the whole conversation: once it has
// passed, the connection is abandoned as by abandon(), which may also be called from
// another thread: it shuts the socket down so that blocking calls return.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/mail/byte_sink.h"
#include "velloc/mail/byte_stream.h"
#include "velloc/mail/mail_message.h"
#include "velloc/mail/smtp_reply.h"

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

  // Runs the TLS handshake; from then on every byte goes through TLS. Whatever
  // arrived before it and was not read is dropped, so that nothing sent in the
  // clear is ever taken for a reply under TLS. False with the reason in *reason
  // when the handshake or the verification failed.
  bool start_tls(const TlsOptions& options, std::string* reason);
  // Whether start_tls dropped anything: a server (or a machine in the middle)
  // sent more than its go-ahead.
  bool dropped_before_tls() const { return dropped_before_tls_; }
  // The TLS session to offer for resumption (null: none), and whether the server
  // resumed it; the session of this connection once under TLS (null otherwise), to
  // resume on the next one.
  void resume_tls_session(std::shared_ptr<void> session) { resume_ = std::move(session); }
  bool tls_resumed() const { return stream_ && stream_->resumed(); }
  std::shared_ptr<void> tls_session() const { return stream_ ? stream_->session() : nullptr; }

  // The connection cannot carry another command: a read or write failed, the peer
  // closed it, or it said it is closing (421).
  bool lost() const { return lost_ || abandoned(); }
  void mark_lost() { lost_ = true; }
  // Something arrived that no command asked for (a kept connection's relay closed
  // it or said 421 meanwhile); never blocks.
  bool input_waiting();

  // What an attempt keeps of this conversation (reply_text.h): the final line of
  // the last complete reply read, and why the conversation failed where no reply
  // says it (no connection, TLS, a broken reply), of which the first is kept.
  void record_reply(std::string_view line);
  void record_failure(std::string_view why);
  const std::string& last_reply() const { return last_reply_; }
  const std::string& failure() const { return failure_; }

  // Output is buffered and sent before every read and when the buffer fills.
  void write_bytes(std::string_view bytes) override;
  void flush();

  // Reads the next reply line (see ReplyLineBuffer), receiving in chunks as
  // needed. kClosed with the incomplete rest (possibly empty) when the peer ended
  // the stream before a line feed.
  enum class ReadStatus { kLine, kClosed, kError };
  ReadStatus read_line(std::string* line);

  // From now on no call blocks past `deadline` by more than 50 ms: the socket's
  // timeouts follow the time left, and a call that reaches the deadline abandons the
  // connection (expired() true).
  void set_deadline(std::chrono::steady_clock::time_point deadline);
  bool expired() const { return expired_; }

  // Shuts both directions down (the QUIT step, and abandon()).
  void shutdown_both();
  // Thread-safe: marks the connection abandoned and shuts the socket down.
  void abandon();
  bool abandoned() const { return abandoned_.load(); }

 private:
  static constexpr std::size_t kOutputBuffer = 64 * 1024;
  static constexpr std::size_t kReceiveChunk = 4096;
  bool wait_until_connected(int polls, int* error);
  // Before a call that may block: false, with the connection abandoned, once the
  // deadline has passed; otherwise the socket waits at most the time left.
  bool limit_to_deadline();
  // After a call that failed: abandons the connection when the deadline ended it.
  void note_failure();

  std::mutex fd_mutex_;  // guards fd_ against a concurrent abandon()
  int fd_ = -1;
  std::unique_ptr<ByteStream> stream_;
  std::atomic<bool> abandoned_{false};
  std::string output_;
  ReplyLineBuffer input_;
  bool dropped_before_tls_ = false;
  bool lost_ = false;
  std::shared_ptr<void> resume_;
  std::string last_reply_;
  std::string failure_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  std::optional<std::chrono::steady_clock::time_point> timeouts_set_;
  bool expired_ = false;
};

// The longest lines a client may send, with their CR LF: a command (RFC 5321)
// and a line of an AUTH exchange (RFC 4954).
inline constexpr std::size_t kMaxCommandLine = 512;
inline constexpr std::size_t kMaxAuthLine = 12288;

// The wire form of a line: a carriage return is dropped, a line feed becomes
// CR LF. Text already in CR LF form (the end of data) leaves unchanged; no bare
// line feed ever reaches the server.
std::string wire_line(std::string_view text);

// Writes the wire form of `text`, or nothing and returns false when that is
// longer than `limit` octets: a line is never cut, nor split into two.
bool send_line(ByteSink& sink, std::string_view text, std::size_t limit = kMaxCommandLine);

// kMalformed: a reply that breaks the form of smtp_reply.h, or a closed stream
// before a reply; kNotSent: the command was too long to send.
enum class Reply { kPositive, kNegative, kBroken, kMalformed, kNotSent };

// A reply that says yes or no. Any other ends the conversation: it cannot be told
// where the server stands.
inline bool well_formed(Reply reply) {
  return reply == Reply::kPositive || reply == Reply::kNegative;
}

// Reads one complete reply, logging each line at type 15 "MS - %s". kBroken when
// the read fails (logged at type 1) or the connection was abandoned (not logged);
// a malformed reply is logged at type 1.
Reply read_reply(const MailMessage& message, SmtpConnection& connection);
// The same, keeping the reply's lines (without their line ends) in *lines.
Reply read_reply(const MailMessage& message, SmtpConnection& connection,
                 std::vector<std::string>* lines);

// Sends `text` (send_line) and reads the reply. A line over `limit` is not sent:
// logged at type 1 and kNotSent, with nothing read.
Reply send_command(const MailMessage& message, SmtpConnection& connection, std::string_view text,
                   std::vector<std::string>* lines = nullptr, std::size_t limit = kMaxCommandLine);

// The server's host and port from the SMTP setting, which may be "host:port".
struct ServerAddress {
  std::string host;
  std::uint32_t port = 25;
};
ServerAddress parse_server_setting(const std::string& setting, std::uint32_t default_port);
