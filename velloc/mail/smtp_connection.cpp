#include "velloc/mail/smtp_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "velloc/mail/reply_text.h"
#include "velloc/request/event_log.h"

namespace {

// Whether the socket's two ends are the same address and port.
bool connected_to_itself(int fd) {
  sockaddr_in own = {}, peer = {};
  socklen_t own_size = sizeof own, peer_size = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &own_size) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0)
    return false;
  return own.sin_port == peer.sin_port && own.sin_addr.s_addr == peer.sin_addr.s_addr;
}

constexpr int kConnectPollMs = 25;
// The socket's timeouts are set again only when this much has passed since they were
// last set, so a wait may outlast the deadline by at most this much.
constexpr auto kDeadlineSlack = std::chrono::milliseconds(50);

bool set_blocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

int pending_socket_error(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

bool all_digits(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

SmtpConnection::~SmtpConnection() {
  std::lock_guard<std::mutex> lock(fd_mutex_);
  if (fd_ >= 0) close(fd_);
}

bool SmtpConnection::connect_to(const sockaddr_in& address, int polls, int* error) {
  {
    std::lock_guard<std::mutex> lock(fd_mutex_);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || abandoned()) {
      *error = fd_ < 0 ? errno : ECONNABORTED;
      return false;
    }
  }
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  (void)bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  set_blocking(fd_, false);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      *error = errno;
      return false;
    }
    if (!wait_until_connected(polls, error)) return false;
  }
  if (connected_to_itself(fd_)) {
    // A port of this machine nobody listens on, which the kernel happened to give the
    // socket as its own: TCP's simultaneous open answers it with its own words.
    *error = ECONNREFUSED;
    return false;
  }
  set_blocking(fd_, true);
  stream_ = make_plain_stream(fd_);
  return true;
}

void SmtpConnection::set_deadline(std::chrono::steady_clock::time_point deadline) {
  deadline_ = deadline;
  timeouts_set_.reset();  // a kept connection's next mail: the socket follows the new one
}

bool SmtpConnection::limit_to_deadline() {
  if (!deadline_ || abandoned()) return !abandoned();
  auto now = std::chrono::steady_clock::now();
  auto left = *deadline_ - now;
  if (left <= std::chrono::steady_clock::duration::zero()) {
    expired_ = true;
    abandon();
    return false;
  }
  if (timeouts_set_ && now - *timeouts_set_ < kDeadlineSlack) return true;
  timeouts_set_ = now;
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1;
  timeval limit = {static_cast<time_t>(micros / 1000000),
                   static_cast<suseconds_t>(micros % 1000000)};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return true;
}

void SmtpConnection::note_failure() {
  if (deadline_ && !abandoned() && std::chrono::steady_clock::now() >= *deadline_) {
    expired_ = true;
    abandon();
  }
}

bool SmtpConnection::start_tls(const TlsOptions& options, std::string* reason) {
  flush();
  dropped_before_tls_ = input_.discard();
  if (!limit_to_deadline()) {
    *reason = "the session ran out of time";
    return false;
  }
  TlsOptions resuming = options;
  resuming.resume = resume_;
  std::unique_ptr<ByteStream> secure = start_tls_stream(fd_, resuming, reason);
  if (!secure) note_failure();
  if (!secure) return false;
  stream_ = std::move(secure);
  return true;
}

bool SmtpConnection::wait_until_connected(int polls, int* error) {
  for (int poll_count = 0; poll_count < polls && limit_to_deadline(); ++poll_count) {
    pollfd request = {fd_, POLLOUT, 0};
    int ready = poll(&request, 1, kConnectPollMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    int socket_error = pending_socket_error(fd_);
    if (socket_error == 0 && (request.revents & POLLOUT)) return true;
    *error = socket_error != 0 ? socket_error : ECONNREFUSED;
    return false;
  }
  *error = abandoned() ? ECONNABORTED : EINPROGRESS;
  return false;
}

void SmtpConnection::write_bytes(std::string_view bytes) {
  output_.append(bytes);
  if (output_.size() >= kOutputBuffer) flush();
}

void SmtpConnection::flush() {
  std::size_t sent = 0;
  while (stream_ && sent < output_.size() && limit_to_deadline()) {
    long count = stream_->send_some(output_.data() + sent, output_.size() - sent);
    if (count <= 0) note_failure();
    if (count <= 0) lost_ = true;
    if (count <= 0) break;
    sent += static_cast<std::size_t>(count);
  }
  output_.clear();
}

SmtpConnection::ReadStatus SmtpConnection::read_line(std::string* line) {
  flush();
  char chunk[kReceiveChunk];
  while (!input_.take_line(line)) {
    long count = stream_ && limit_to_deadline() ? stream_->receive_some(chunk, sizeof chunk) : -1;
    if (count < 0) note_failure();
    if (count < 0) lost_ = true;
    if (count < 0) return ReadStatus::kError;
    if (count == 0) {
      lost_ = true;
      *line = input_.take_rest();
      return ReadStatus::kClosed;
    }
    input_.add(std::string_view(chunk, static_cast<std::size_t>(count)));
  }
  return ReadStatus::kLine;
}

bool SmtpConnection::input_waiting() {
  if (input_.pending()) return true;
  pollfd request = {fd_, POLLIN, 0};
  return poll(&request, 1, 0) != 0;
}

void SmtpConnection::record_reply(std::string_view line) { last_reply_ = reply_text(line); }

void SmtpConnection::record_failure(std::string_view why) {
  if (failure_.empty()) failure_ = reply_text(why);
}

void SmtpConnection::shutdown_both() {
  flush();
  if (stream_ && !abandoned()) stream_->close();
  std::lock_guard<std::mutex> lock(fd_mutex_);
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void SmtpConnection::abandon() {
  abandoned_.store(true);
  std::lock_guard<std::mutex> lock(fd_mutex_);
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

std::string wire_line(std::string_view text) {
  std::string wire;
  wire.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') wire.push_back('\r');
    wire.push_back(c);
  }
  return wire;
}

bool send_line(ByteSink& sink, std::string_view text, std::size_t limit) {
  std::string wire = wire_line(text);
  if (wire.size() > limit) return false;
  sink.write_bytes(wire);
  return true;
}

Reply read_reply(const MailMessage& message, SmtpConnection& connection) {
  return read_reply(message, connection, nullptr);
}

Reply read_reply(const MailMessage& message, SmtpConnection& connection,
                 std::vector<std::string>* lines) {
  ReplyParser parser;
  std::string line;
  for (;;) {
    SmtpConnection::ReadStatus status = connection.read_line(&line);
    if (connection.abandoned()) return Reply::kBroken;
    if (status == SmtpConnection::ReadStatus::kError) {
      log_event(message, 1, "Socket Error, Ending Thread\n");
      connection.record_failure("the connection failed while waiting for a reply");
      return Reply::kBroken;
    }
    log_event(message, 15, "MS - %s", line.c_str());
    if (lines != nullptr) lines->push_back(line.substr(0, line.find_first_of("\r\n")));
    ReplyParser::Step step = parser.add(line);
    if (step == ReplyParser::Step::kEnded) {
      connection.record_reply(line);
      if (line.starts_with("421")) connection.mark_lost();
      return parser.positive() ? Reply::kPositive : Reply::kNegative;
    }
    if (step != ReplyParser::Step::kMore) {
      bool closed = status == SmtpConnection::ReadStatus::kClosed && line.empty();
      connection.record_failure(closed ? std::string("the server closed the connection")
                                       : "malformed reply: " + line);
      log_event(
          message, 1,
          closed ? "Mail Server Closed the Connection.\n" : "Malformed Reply From Mail Server.\n");
      return Reply::kMalformed;
    }
  }
}

Reply send_command(const MailMessage& message, SmtpConnection& connection, std::string_view text,
                   std::vector<std::string>* lines, std::size_t limit) {
  if (!send_line(connection, text, limit)) {
    log_event(message, 1, "Command Too Long for the Mail Server (%zu octets), Not Sent.\n",
              wire_line(text).size());
    connection.record_failure("a command too long for the server was not sent");
    return Reply::kNotSent;
  }
  return read_reply(message, connection, lines);
}

ServerAddress parse_server_setting(const std::string& setting, std::uint32_t default_port) {
  std::size_t colon = setting.rfind(':');
  if (colon == std::string::npos || !all_digits(std::string_view(setting).substr(colon + 1)))
    return {setting, default_port};
  unsigned long port = std::stoul(setting.substr(colon + 1));
  if (port == 0 || port > 65535) return {setting, default_port};
  return {setting.substr(0, colon), static_cast<std::uint32_t>(port)};
}
