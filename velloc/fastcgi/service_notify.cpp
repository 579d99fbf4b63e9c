#include "velloc/fastcgi/service_notify.h"

#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstring>

namespace {

// A decimal number without sign or blanks; nullopt for anything else.
std::optional<std::int64_t> parse_decimal(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::int64_t value = 0;
  const char* end = text + std::strlen(text);
  auto [stop, failure] = std::from_chars(text, end, value);
  if (failure != std::errc() || stop != end || value < 0) return std::nullopt;
  return value;
}

std::string plural(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::chrono::microseconds watchdog_interval(const char* usec, const char* pid, long own_pid) {
  std::optional<std::int64_t> interval = parse_decimal(usec);
  if (!interval || *interval == 0) return std::chrono::microseconds(0);
  if (pid != nullptr && parse_decimal(pid) != std::optional<std::int64_t>(own_pid))
    return std::chrono::microseconds(0);
  return std::chrono::microseconds(*interval);
}

std::optional<NotifyAddress> notify_address(std::string_view text) {
  NotifyAddress result;
  result.address.sun_family = AF_UNIX;
  bool abstract = text.starts_with('@');
  if ((!abstract && !text.starts_with('/')) || text.size() < 2 ||
      text.size() > sizeof(result.address.sun_path) || text.find('\0') != std::string_view::npos)
    return std::nullopt;
  std::memcpy(result.address.sun_path, text.data(), text.size());
  if (abstract) result.address.sun_path[0] = '\0';
  // A path ends with its terminating zero; an abstract name is exactly its bytes.
  std::size_t path_length = abstract ? text.size() : text.size() + 1;
  if (path_length > sizeof(result.address.sun_path)) return std::nullopt;
  result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_length);
  return result;
}

std::string service_status(int workers, int stuck, const std::optional<OutboxSummary>& outbox) {
  std::string status = plural(workers, "worker", "workers");
  if (stuck > 0) status += ", " + std::to_string(stuck) + " stuck";
  if (!outbox) return status;
  if (outbox->items == 0) return status + ", outbox empty";
  return status + ", outbox " + std::to_string(outbox->items) + " (oldest " +
         std::to_string(outbox->oldest.count()) + " s)";
}

std::string monotonic_usec(std::chrono::steady_clock::time_point now) {
  auto since = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch());
  return std::to_string(since.count());
}

ServiceNotifier::ServiceNotifier(const std::string& notify_socket) {
  std::optional<NotifyAddress> address = notify_address(notify_socket);
  if (!address) return;
  address_ = *address;
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

ServiceNotifier::~ServiceNotifier() {
  if (fd_ >= 0) close(fd_);
}

bool ServiceNotifier::send(std::string_view message) const {
  if (fd_ < 0) return false;
  ssize_t sent = sendto(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address_.address), address_.length);
  return sent == static_cast<ssize_t>(message.size());
}
