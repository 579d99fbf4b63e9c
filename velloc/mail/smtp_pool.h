// The SMTP connections a long-lived process keeps open between its mails, per
// relay (host, port, TLS, login): a mail takes a kept connection, or leave to open
// a new one, and hands it back when its transaction has ended. The Site owns the
// pool; connections still kept when it goes end with QUIT. A process of one request
// keeps none. Safe to use from several threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "velloc/mail/mail_message.h"
#include "velloc/mail/smtp_connection.h"

// A connection left unused this long is closed rather than used again.
inline constexpr std::chrono::seconds kSmtpIdleLimit(30);

// One connection of the pool and what the pool knows of it.
struct KeptConnection {
  std::unique_ptr<SmtpConnection> connection;
  int messages = 0;         // mails whose transaction ended on it
  bool pipelining = false;  // the relay offered PIPELINING
  // The TLS session of the relay's last connection, to resume on the next one.
  std::shared_ptr<void> tls_session;
  std::chrono::steady_clock::time_point last_used;
};

// The right to use one connection to a relay: a kept one, or none when the mail
// opens a new one. Not granted when the relay's connections were all in use
// until the deadline.
struct SmtpLease {
  bool granted = false;
  std::unique_ptr<KeptConnection> kept;  // null: open a new connection
  std::shared_ptr<void> tls_session;     // to resume when opening a new one
};

// The relay a mail goes to, as a key of the pool: the server, port, TLS and
// login settings and the name it greets with.
std::string smtp_relay_key(const MailMessage& settings);

class SmtpPool {
 public:
  // What tells the connections' idle time: the steady clock, or a test's.
  using Now = std::function<std::chrono::steady_clock::time_point()>;
  explicit SmtpPool(Now now = std::chrono::steady_clock::now) : now_(std::move(now)) {}
  ~SmtpPool();
  SmtpPool(const SmtpPool&) = delete;
  SmtpPool& operator=(const SmtpPool&) = delete;

  // A connection to `relay` for one mail: the most recently used kept one that is
  // still fresh (idle less than kSmtpIdleLimit, nothing waiting from the relay),
  // else leave to open one while fewer than `limit` are in use; otherwise waits
  // for one to come back, until `deadline`. Stale ones are closed on the way.
  SmtpLease take(const std::string& relay, int limit,
                 std::chrono::steady_clock::time_point deadline);

  // Ends a lease. A connection still usable with fewer than `messages_limit` mails
  // sent is kept; any other is closed (QUIT when `usable`). `kept` may be null (the
  // new connection could not be opened).
  void give_back(const std::string& relay, std::unique_ptr<KeptConnection> kept, bool usable,
                 int messages_limit);

  // Closes the connections left unused for kSmtpIdleLimit or more.
  void close_idle();

  // How many connections to `relay` are kept unused now.
  int kept(const std::string& relay);

 private:
  struct Relay {
    std::vector<std::unique_ptr<KeptConnection>> idle;  // last used at the back
    int in_use = 0;
    std::shared_ptr<void> tls_session;
  };
  void close_stale(Relay& relay, std::chrono::steady_clock::time_point now);

  Now now_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::map<std::string, Relay> relays_;
};

// Ends a kept connection politely without waiting for the relay: QUIT is written,
// TLS closed and the socket shut down.
void close_kept_connection(SmtpConnection& connection);
