// Telling the service manager (systemd) how the server is: datagrams of "NAME=value"
// lines (READY=1, STATUS=..., WATCHDOG=1, ...) sent to the socket the manager named in the
// process's environment. The entry point reads that environment into a ServiceManager;
// a ServiceNotifier owns its own socket. Sending never blocks, and a manager that does not
// listen is no fault: the message is dropped.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the service manager asked of the process when it started it.
struct ServiceManager {
  // Where notifications go: an absolute path, or "@name" for a name in the abstract
  // namespace. Empty: nobody listens.
  std::string notify_socket;
  // How long the manager waits for a keep-alive before it takes the server for hung;
  // zero when it wants none.
  std::chrono::microseconds watchdog{0};
};

// The keep-alive interval the manager wants from process `own_pid`, from the texts of
// WATCHDOG_USEC and WATCHDOG_PID (null when unset): zero when the interval is missing
// or not a positive number, or when the pid names another process.
std::chrono::microseconds watchdog_interval(const char* usec, const char* pid, long own_pid);

// A notification socket's address; nullopt for anything but an absolute path or an
// "@name" that fits a Unix socket address.
struct NotifyAddress {
  sockaddr_un address{};
  socklen_t length = 0;
};
std::optional<NotifyAddress> notify_address(std::string_view text);

// The deliveries waiting in the outbox: how many, and how long the oldest has waited.
struct OutboxSummary {
  std::int64_t items = 0;
  std::chrono::seconds oldest{0};
};

// The text of STATUS=: "4 workers", then ", 1 stuck" for workers busy with one request
// past its time limit, then ", outbox 3 (oldest 12 s)" or ", outbox empty" when the
// outbox is known.
std::string service_status(int workers, int stuck, const std::optional<OutboxSummary>& outbox);

// The MONOTONIC_USEC= value of a notification made at `now`, as systemd compares it.
std::string monotonic_usec(std::chrono::steady_clock::time_point now);

class ServiceNotifier {
 public:
  // Nothing is sent when `notify_socket` is empty or not a notification address.
  explicit ServiceNotifier(const std::string& notify_socket);
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  bool enabled() const { return fd_ >= 0; }
  // Sends `message` ("READY=1\nSTATUS=4 workers") as one datagram, without waiting;
  // false when it could not be sent at once.
  bool send(std::string_view message) const;

 private:
  int fd_ = -1;
  NotifyAddress address_;
};
