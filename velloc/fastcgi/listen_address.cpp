#include "velloc/fastcgi/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>

namespace {

constexpr char kUnixPrefix[] = "unix:";
constexpr int kMaxPort = 65535;

std::optional<int> parse_port(const std::string& text) {
  int port = 0;
  const char* end = text.data() + text.size();
  auto [stop, failure] = std::from_chars(text.data(), end, port);
  if (text.empty() || failure != std::errc() || stop != end || port < 1 || port > kMaxPort)
    return std::nullopt;
  return port;
}

std::optional<ListenAddress> parse_unix(const std::string& path) {
  if (path.empty() || path[0] != '/' || path.size() >= sizeof(sockaddr_un::sun_path) ||
      path.find('\0') != std::string::npos)
    return std::nullopt;
  return ListenAddress{ListenAddress::Family::kUnix, path, 0};
}

std::optional<ListenAddress> parse_inet(const std::string& text) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::optional<int> port = parse_port(text.substr(colon + 1));
  std::string host = text.substr(0, colon);
  if (!port) return std::nullopt;
  unsigned char scratch[sizeof(in6_addr)];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (inet_pton(AF_INET6, host.c_str(), scratch) != 1) return std::nullopt;
    return ListenAddress{ListenAddress::Family::kInet6, host, *port};
  }
  if (inet_pton(AF_INET, host.c_str(), scratch) != 1) return std::nullopt;
  return ListenAddress{ListenAddress::Family::kInet4, host, *port};
}

// Fills `storage` with the socket address; returns its length.
socklen_t socket_address(const ListenAddress& address, sockaddr_storage* storage) {
  std::memset(storage, 0, sizeof(*storage));
  if (address.family == ListenAddress::Family::kUnix) {
    auto* unix_address = reinterpret_cast<sockaddr_un*>(storage);
    unix_address->sun_family = AF_UNIX;
    std::memcpy(unix_address->sun_path, address.path_or_host.c_str(),
                address.path_or_host.size() + 1);
    return sizeof(sockaddr_un);
  }
  if (address.family == ListenAddress::Family::kInet6) {
    auto* inet6 = reinterpret_cast<sockaddr_in6*>(storage);
    inet6->sin6_family = AF_INET6;
    inet6->sin6_port = htons(static_cast<uint16_t>(address.port));
    inet_pton(AF_INET6, address.path_or_host.c_str(), &inet6->sin6_addr);
    return sizeof(sockaddr_in6);
  }
  auto* inet = reinterpret_cast<sockaddr_in*>(storage);
  inet->sin_family = AF_INET;
  inet->sin_port = htons(static_cast<uint16_t>(address.port));
  inet_pton(AF_INET, address.path_or_host.c_str(), &inet->sin_addr);
  return sizeof(sockaddr_in);
}

void remove_stale_socket(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) unlink(path.c_str());
}

}  // namespace

std::optional<ListenAddress> parse_listen_address(const std::string& text) {
  if (text.rfind(kUnixPrefix, 0) == 0) return parse_unix(text.substr(std::strlen(kUnixPrefix)));
  return parse_inet(text);
}

std::string listen_address_text(const ListenAddress& address) {
  switch (address.family) {
    case ListenAddress::Family::kUnix:
      return kUnixPrefix + address.path_or_host;
    case ListenAddress::Family::kInet6:
      return "[" + address.path_or_host + "]:" + std::to_string(address.port);
    case ListenAddress::Family::kInet4:
      break;
  }
  return address.path_or_host + ":" + std::to_string(address.port);
}

std::optional<ListenAddress> bound_address(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
  char host[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET) {
    auto* inet = reinterpret_cast<sockaddr_in*>(&storage);
    inet_ntop(AF_INET, &inet->sin_addr, host, sizeof(host));
    return ListenAddress{ListenAddress::Family::kInet4, host, ntohs(inet->sin_port)};
  }
  if (storage.ss_family == AF_INET6) {
    auto* inet6 = reinterpret_cast<sockaddr_in6*>(&storage);
    inet_ntop(AF_INET6, &inet6->sin6_addr, host, sizeof(host));
    return ListenAddress{ListenAddress::Family::kInet6, host, ntohs(inet6->sin6_port)};
  }
  std::size_t path_offset = offsetof(sockaddr_un, sun_path);
  if (storage.ss_family != AF_UNIX || length <= path_offset) return std::nullopt;
  const char* path = reinterpret_cast<sockaddr_un*>(&storage)->sun_path;
  std::size_t path_length = length - path_offset;
  bool abstract = path[0] == '\0';
  std::string shown(path, abstract ? path_length : strnlen(path, path_length));
  if (abstract) shown[0] = '@';
  return ListenAddress{ListenAddress::Family::kUnix, shown, 0};
}

int open_listening_socket(const ListenAddress& address, std::string* error) {
  sockaddr_storage storage;
  socklen_t length = socket_address(address, &storage);
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::strerror(errno);
    return -1;
  }
  int on = 1;
  if (address.family == ListenAddress::Family::kUnix) {
    remove_stale_socket(address.path_or_host);
  } else {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(fd, SOMAXCONN) != 0) {
    *error = std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

bool is_listening_socket(int fd) {
  int listening = 0;
  socklen_t length = sizeof(listening);
  return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0;
}
