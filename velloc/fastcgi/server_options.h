// The options of the persistent mode: from its command line, where to listen, how many
// workers and how many requests each serves before it is replaced; from the entry point,
// what the service manager asked for. Parsing is pure; the entry point supplies the
// number of processors and reads nothing else.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velloc/fastcgi/listen_address.h"
#include "velloc/fastcgi/service_notify.h"

class MetricsStore;
namespace platform {
class SharedOnce;
class Wakeup;
}  // namespace platform
struct ProcessFacts;

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
  // Seconds a worker may be busy with one request, from its first byte to its answer,
  // before it counts as stuck: while one is, the server stops sending the service
  // manager its keep-alive. Longer than the slowest request (its arrival, two mail
  // sends under the SMTP watchdog, webhooks and encryption).
  int request_time_limit = 600;

  // Not on the command line: set by the entry point.
  // What the service manager asked for in the process's environment.
  ServiceManager service;
  // The deliveries waiting in the outbox, for the status the service manager shows;
  // unset, or nullopt from it: unknown. The supervisor calls it between signals, so it
  // must answer promptly.
  std::function<std::optional<OutboxSummary>()> outbox;
  // The counters of the metrics, shared with the workers (and with the program executed
  // anew on SIGHUP); null: nothing is counted.
  MetricsStore* metrics = nullptr;
  // Shared by the workers, so that one of them logs the problems of a settings version.
  platform::SharedOnce* settings_once = nullptr;
  // One pass of sender `sender` of the server's own deliveries, run in a child process
  // the supervisor forks for each sender (again when the last pass ended): it takes
  // deliveries until `stop()` says SIGTERM came or its time is up, tells `seen` the
  // outbox whenever it looks at it, and returns the outbox as it left it (nullopt:
  // unknown), which the status shows when `outbox` is unset. Unset: the server sends
  // nothing itself.
  std::function<std::optional<OutboxSummary>(const ProcessFacts& facts, int sender,
                                             const std::function<bool()>& stop,
                                             const std::function<void(const OutboxSummary&)>& seen)>
      deliver;
  // How many senders the deliveries want (0: none; the settings keep no archive); asked,
  // reading the settings file, before a pass is forked. Unset: one.
  std::function<int(const ProcessFacts& facts)> delivery_senders;
  // Rung by the workers once a delivery is queued, so that a waiting sender sends it at
  // once; none: the senders look every second.
  platform::Wakeup* delivery_wakeup = nullptr;
  // The process is a server executed anew on SIGHUP, serving the socket it had.
  bool started_anew = false;
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

// The version alone ("1.4.0").
std::string_view program_version();
