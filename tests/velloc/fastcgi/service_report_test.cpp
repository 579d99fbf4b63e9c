#include "velloc/fastcgi/service_report.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

using Clock = ServiceReport::Clock;
using std::chrono::seconds;

// A service manager listening on an abstract socket of its own.
class FakeManager {
 public:
  FakeManager() : name_("@velloc-report-test-" + std::to_string(getpid())) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    NotifyAddress address = notify_address(name_).value();
    bind(fd_, reinterpret_cast<sockaddr*>(&address.address), address.length);
  }
  ~FakeManager() { close(fd_); }
  const std::string& name() const { return name_; }
  // The next message, or "" when none came.
  std::string heard() {
    char buffer[512];
    ssize_t length = recv(fd_, buffer, sizeof(buffer), 0);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : "";
  }

 private:
  std::string name_;
  int fd_;
};

// What the manager hears, in order, of a server whose worker gets stuck in a request.
TEST(ServiceReport, KeepAliveOnlyWhileNoWorkerIsStuck) {
  FakeManager manager;
  ServerOptions options;
  options.service = {manager.name(), seconds(30)};
  options.request_time_limit = 60;
  options.outbox = [] { return OutboxSummary{3, seconds(12)}; };
  BusyBoard board(2);
  BusySlot first = board.fresh_slot(0);
  ServiceReport report(options, board);
  const Clock::time_point start = Clock::now();

  report.ready(2, start);
  EXPECT_EQ("READY=1\nSTATUS=2 workers, outbox 3 (oldest 12 s)", manager.heard());
  report.workers(2, start);
  report.beat(start + seconds(14));  // not due before half the interval
  EXPECT_EQ("", manager.heard());
  EXPECT_EQ(15000, report.beat_timeout(start));

  first.begin(start);
  report.beat(start + seconds(15));
  EXPECT_EQ("WATCHDOG=1\nSTATUS=2 workers, outbox 3 (oldest 12 s)", manager.heard());
  report.workers(1, start + seconds(20));
  EXPECT_EQ("STATUS=1 worker, outbox 3 (oldest 12 s)", manager.heard());
  report.beat(start + seconds(61));
  EXPECT_EQ("STATUS=1 worker, 1 stuck, outbox 3 (oldest 12 s)", manager.heard());
  first.end();
  report.beat(start + seconds(90));
  EXPECT_EQ("WATCHDOG=1\nSTATUS=1 worker, outbox 3 (oldest 12 s)", manager.heard());
  options.outbox = [] { return OutboxSummary{0, seconds(0)}; };
  report.beat(start + seconds(120));
  EXPECT_EQ("WATCHDOG=1\nSTATUS=1 worker, outbox empty", manager.heard());
  report.stopping();
  EXPECT_EQ("STOPPING=1\nSTATUS=stopping: the requests in flight finish", manager.heard());
}

}  // namespace
