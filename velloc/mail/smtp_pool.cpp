#include "velloc/mail/smtp_pool.h"

#include <algorithm>

#include "velloc/mail/smtp_connection.h"

namespace {

// Closing writes QUIT into an idle socket's empty buffer; this bounds it anyway.
constexpr auto kCloseTime = std::chrono::milliseconds(200);

bool fresh(const KeptConnection& kept, std::chrono::steady_clock::time_point now) {
  return now - kept.last_used < kSmtpIdleLimit && !kept.connection->lost() &&
         !kept.connection->input_waiting();
}

}  // namespace

std::string smtp_relay_key(const MailMessage& settings) {
  std::string key;
  for (const std::string* part : {&settings.smtp_server, &settings.ca_file, &settings.smtp_user,
                                  &settings.smtp_password, &settings.local_host})
    key += *part + '\0';
  key += std::to_string(settings.smtp_port) + '\0';
  key += std::to_string(static_cast<int>(settings.smtp_tls)) + (settings.tls_verify ? "v" : "-");
  key += settings.auth_plaintext ? "p" : "-";
  return key;
}

void close_kept_connection(SmtpConnection& connection) {
  if (connection.lost()) return;
  connection.set_deadline(std::chrono::steady_clock::now() + kCloseTime);
  send_line(connection, "QUIT\r\n");
  connection.shutdown_both();
}

SmtpPool::~SmtpPool() {
  for (auto& [key, relay] : relays_)
    for (auto& kept : relay.idle) close_kept_connection(*kept->connection);
}

void SmtpPool::close_stale(Relay& relay, std::chrono::steady_clock::time_point now) {
  auto stale = std::stable_partition(relay.idle.begin(), relay.idle.end(),
                                     [&](const auto& kept) { return fresh(*kept, now); });
  for (auto it = stale; it != relay.idle.end(); ++it) close_kept_connection(*(*it)->connection);
  relay.idle.erase(stale, relay.idle.end());
}

SmtpLease SmtpPool::take(const std::string& key, int limit,
                         std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  Relay& relay = relays_[key];
  SmtpLease lease;
  for (;;) {
    close_stale(relay, now_());
    if (!relay.idle.empty()) {
      lease.kept = std::move(relay.idle.back());
      relay.idle.pop_back();
      break;
    }
    if (relay.in_use < std::max(1, limit)) break;
    if (returned_.wait_until(lock, deadline) == std::cv_status::timeout) return lease;
  }
  ++relay.in_use;
  lease.granted = true;
  lease.tls_session = relay.tls_session;
  return lease;
}

void SmtpPool::give_back(const std::string& key, std::unique_ptr<KeptConnection> kept, bool usable,
                         int messages_limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  Relay& relay = relays_[key];
  --relay.in_use;
  if (kept && kept->tls_session) relay.tls_session = kept->tls_session;
  if (kept && usable && !kept->connection->lost() && kept->messages < messages_limit) {
    kept->last_used = now_();
    relay.idle.push_back(std::move(kept));
  } else if (kept && usable) {
    close_kept_connection(*kept->connection);
  }
  returned_.notify_one();
}

void SmtpPool::close_idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto now = now_();
  for (auto& [key, relay] : relays_) close_stale(relay, now);
}

int SmtpPool::kept(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = relays_.find(key);
  return found == relays_.end() ? 0 : static_cast<int>(found->second.idle.size());
}
