#include "velloc/guard/spamd_client.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "platform/text.h"

namespace {

constexpr std::size_t kMaxReply = 64 * 1024;

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int ready = poll(&entry, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

// A connected non-blocking socket to one of the host's addresses; -1 with
// `*error` set when none answers before the deadline.
int connect_before(const SpamdAddress& address, Clock::time_point deadline, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int status = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
  if (status != 0) {
    *error = "cannot resolve " + address.host + ": " + gai_strerror(status);
    return -1;
  }
  int fd = -1;
  *error = "cannot connect to " + address.host + ":" + address.port;
  for (addrinfo* at = found; at != nullptr && fd < 0 && remaining_ms(deadline) > 0;
       at = at->ai_next) {
    fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    bool connected = connect(fd, at->ai_addr, at->ai_addrlen) == 0;
    if (!connected && errno == EINPROGRESS && wait_for(fd, POLLOUT, deadline)) {
      int failure = 0;
      socklen_t length = sizeof failure;
      connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) == 0 && failure == 0;
    }
    if (!connected) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

bool send_before(int fd, std::string_view data, Clock::time_point deadline) {
  while (!data.empty()) {
    ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!wait_for(fd, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

// The reply up to the server's close (or kMaxReply bytes); false on a timeout.
bool read_before(int fd, std::string* reply, Clock::time_point deadline) {
  char chunk[4096];
  while (reply->size() < kMaxReply) {
    ssize_t count = recv(fd, chunk, sizeof chunk, 0);
    if (count == 0) return true;
    if (count > 0) {
      reply->append(chunk, static_cast<std::size_t>(count));
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!wait_for(fd, POLLIN, deadline)) {
      return false;
    }
  }
  return true;
}

std::string_view first_line(std::string_view text) {
  std::string_view line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::optional<SpamdAddress> parse_spam_check(std::string_view setting) {
  setting = platform::trim(setting);
  constexpr std::string_view kScheme = "spamd:";
  if (setting.size() < kScheme.size() ||
      !platform::equal_ignoring_case(setting.substr(0, kScheme.size()), kScheme))
    return std::nullopt;
  setting.remove_prefix(kScheme.size());
  std::size_t colon = setting.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = setting.substr(0, colon);
  std::string_view port = setting.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  int number = 0;
  auto [end, failure] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (host.empty() || failure != std::errc() || end != port.data() + port.size() || number < 1 ||
      number > 65535)
    return std::nullopt;
  return SpamdAddress{std::string(host), std::string(port)};
}

std::string_view scored_part(std::string_view message, std::size_t limit) {
  if (message.size() <= limit) return message;
  std::size_t cut = limit;
  // At most three continuation bytes stand before a character's end.
  for (int back = 0;
       back < 3 && cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80; ++back)
    --cut;
  if ((static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) cut = limit;
  return message.substr(0, cut);
}

std::string spamc_check_request(std::string_view message) {
  return "CHECK SPAMC/1.5\r\nContent-length: " + std::to_string(message.size()) + "\r\n\r\n" +
         std::string(message);
}

std::optional<double> parse_spamd_reply(std::string_view reply, std::string* error) {
  std::string_view status = first_line(reply);
  if (!status.starts_with("SPAMD/") || status.find(" 0 ") == std::string_view::npos) {
    *error = status.empty() ? "no answer" : "answered \"" + std::string(status) + "\"";
    return std::nullopt;
  }
  for (std::size_t at = reply.find('\n'); at != std::string_view::npos; at = reply.find('\n', at)) {
    std::string_view line = first_line(reply.substr(++at));
    if (line.empty()) break;  // the end of the headers
    if (line.size() < 5 || !platform::equal_ignoring_case(line.substr(0, 5), "Spam:")) continue;
    std::size_t semicolon = line.find(';');
    std::string_view score =
        semicolon == std::string_view::npos ? "" : platform::trim(line.substr(semicolon + 1));
    double value = 0;
    auto [end, failure] = std::from_chars(score.data(), score.data() + score.size(), value);
    if (failure == std::errc() && end != score.data()) return value;
    *error = "unreadable score line \"" + std::string(line) + "\"";
    return std::nullopt;
  }
  *error = "no score in the answer";
  return std::nullopt;
}

std::optional<double> spamd_score(const SpamdAddress& address, std::string_view message,
                                  int budget_ms, std::string* error) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budget_ms);
  int fd = connect_before(address, deadline, error);
  if (fd < 0) return std::nullopt;
  std::string reply;
  bool ok = send_before(fd, spamc_check_request(message), deadline);
  if (ok) shutdown(fd, SHUT_WR);
  ok = ok && read_before(fd, &reply, deadline);
  close(fd);
  if (!ok) {
    *error = "no answer from " + address.host + ":" + address.port + " in time";
    return std::nullopt;
  }
  return parse_spamd_reply(reply, error);
}
