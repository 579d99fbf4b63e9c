// The command line of the persistent mode: where to listen, how many workers and how
// many requests each serves before it is replaced. Parsing is pure; the entry point
// supplies the number of processors and reads nothing else.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "velloc/fastcgi/listen_address.h"

struct ServerOptions {
  enum class Action { kServe, kHelp, kVersion };
  Action action = Action::kServe;
  std::optional<ListenAddress> address;  // nullopt: serve the socket the process was given
  int workers = 2;
  int max_requests = 10000;
  // Seconds a request, parameters and body, may take to arrive from the web server,
  // counted from its connection (or the previous answer on a kept one).
  int request_timeout = 30;
  // Seconds a connection may wait for its first byte of a request before it is closed.
  int idle_timeout = 5;
};

inline constexpr int kMaxWorkers = 1024;
inline constexpr int kMaxTimeoutSeconds = 3600;

// The options in `arguments` (without the program name); workers default to twice
// `processors`. nullopt with `error` set for an unknown option, a missing or bad value.
std::optional<ServerOptions> parse_server_options(const std::vector<std::string>& arguments,
                                                  int processors, std::string* error);

// The text of --help, naming the default number of workers for `processors`.
std::string server_usage(int processors);

// The text of --version.
std::string server_version();
