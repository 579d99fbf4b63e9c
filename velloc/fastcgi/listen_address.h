// Where a FastCGI server listens: a Unix socket ("unix:/run/velloc.sock") or an IPv4
// or IPv6 literal with a port ("127.0.0.1:9000", "[::1]:9000"). Parsing is pure; opening
// binds and listens and hands the caller the descriptor to own.
#pragma once

#include <optional>
#include <string>

struct ListenAddress {
  enum class Family { kUnix, kInet4, kInet6 };
  Family family = Family::kUnix;
  std::string path_or_host;  // the socket's path, or the address literal without brackets
  int port = 0;              // 1 to 65535 for the internet families
};

// nullopt for anything but the three forms above (names are not looked up, ports are
// decimal digits in range, a Unix path is absolute and fits a socket address).
std::optional<ListenAddress> parse_listen_address(const std::string& text);

// The address as parse_listen_address reads it: "unix:/path", "host:port", "[host]:port".
std::string listen_address_text(const ListenAddress& address);

// The address socket `fd` is bound to, for the log; an abstract Unix name shows as
// "@name". nullopt for an unbound socket or another family.
std::optional<ListenAddress> bound_address(int fd);

// A listening socket (close-on-exec) bound to `address`; -1 with `error` set when the
// address cannot be bound. A socket file left at a Unix path by an earlier server is
// replaced; any other file there is kept and the bind fails.
int open_listening_socket(const ListenAddress& address, std::string* error);

// True when `fd` is a socket in the listening state, as a web server or a socket
// manager hands one to a FastCGI application.
bool is_listening_socket(int fd);
