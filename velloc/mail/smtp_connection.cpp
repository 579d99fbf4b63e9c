#include "velloc/mail/smtp_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "velloc/request/event_log.h"

namespace {

constexpr int kConnectPollMs = 25;

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

// Reads the rest of a reply line that did not fit, up to its line feed.
SmtpConnection::ReadStatus skip_to_line_end(SmtpConnection& connection) {
  char byte = 0;
  for (;;) {
    SmtpConnection::ReadStatus status = connection.read_byte(&byte);
    if (status != SmtpConnection::ReadStatus::kByte || byte == '\n') return status;
  }
}

// One reply line with its line feed, cut to kMaxReplyLine characters. A closed
// connection ends the line with what it holds: no byte can follow the peer's end.
SmtpConnection::ReadStatus read_reply_line(SmtpConnection& connection, std::string& line) {
  line.clear();
  char byte = 0;
  for (;;) {
    SmtpConnection::ReadStatus status = connection.read_byte(&byte);
    if (status != SmtpConnection::ReadStatus::kByte) return status;
    if (line.size() == kMaxReplyLine) return byte == '\n' ? status : skip_to_line_end(connection);
    line.push_back(byte);
    if (byte == '\n') return status;
  }
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
  set_blocking(fd_, true);
  stream_ = make_plain_stream(fd_);
  return true;
}

bool SmtpConnection::start_tls(const TlsOptions& options, std::string* reason) {
  flush();
  std::unique_ptr<ByteStream> secure = start_tls_stream(fd_, options, reason);
  if (!secure) return false;
  stream_ = std::move(secure);
  return true;
}

bool SmtpConnection::wait_until_connected(int polls, int* error) {
  for (int poll_count = 0; poll_count < polls && !abandoned(); ++poll_count) {
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
  while (stream_ && sent < output_.size() && !abandoned()) {
    long count = stream_->send_some(output_.data() + sent, output_.size() - sent);
    if (count <= 0) break;
    sent += static_cast<std::size_t>(count);
  }
  output_.clear();
}

SmtpConnection::ReadStatus SmtpConnection::read_byte(char* byte) {
  flush();
  if (!stream_) return ReadStatus::kError;
  long count = stream_->receive_some(byte, 1);
  if (count == 1) return ReadStatus::kByte;
  return count == 0 ? ReadStatus::kClosed : ReadStatus::kError;
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

void send_line(ByteSink& sink, const char* format, ...) {
  char buffer[kMaxSendLine + 1];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  std::size_t kept = std::min<std::size_t>(static_cast<std::size_t>(length), kMaxSendLine);
  sink.write_bytes(wire_line(std::string_view(buffer, kept)));
}

Reply read_reply(const MailMessage& message, SmtpConnection& connection) {
  return read_reply(message, connection, nullptr);
}

Reply read_reply(const MailMessage& message, SmtpConnection& connection,
                 std::vector<std::string>* lines) {
  std::string line;
  for (;;) {
    SmtpConnection::ReadStatus status = read_reply_line(connection, line);
    if (connection.abandoned()) return Reply::kBroken;
    if (status == SmtpConnection::ReadStatus::kError) {
      log_event(message, 1, "Socket Error, Ending Thread\n");
      return Reply::kBroken;
    }
    log_event(message, 15, "MS - %s", line.c_str());
    if (lines != nullptr) lines->push_back(line.substr(0, line.find_first_of("\r\n")));
    if (line.size() < 4 || line[3] != '-') break;
  }
  return (!line.empty() && (line[0] == '2' || line[0] == '3')) ? Reply::kPositive
                                                               : Reply::kNegative;
}

ServerAddress parse_server_setting(const std::string& setting, std::uint32_t default_port) {
  std::size_t colon = setting.rfind(':');
  if (colon == std::string::npos || !all_digits(std::string_view(setting).substr(colon + 1)))
    return {setting, default_port};
  unsigned long port = std::stoul(setting.substr(colon + 1));
  if (port == 0 || port > 65535) return {setting, default_port};
  return {setting.substr(0, colon), static_cast<std::uint32_t>(port)};
}
