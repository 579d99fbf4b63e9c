#include "velloc/fastcgi/service_notify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace {

TEST(ServiceNotify, NotificationAddresses) {
  constexpr int kPathStart = offsetof(sockaddr_un, sun_path);
  struct Case {
    std::string text;
    int length;  // of the socket address; -1: not an address
  };
  // clang-format off
  const Case cases[] = {
      {"/run/systemd/notify", kPathStart + 20},
      {"@systemd/notify", kPathStart + 15},  // abstract: no closing zero
      {"/" + std::string(106, 'x'), kPathStart + 108},
      {"/" + std::string(107, 'x'), -1},
      {"@" + std::string(107, 'x'), kPathStart + 108},
      {"@" + std::string(108, 'x'), -1},
      {"run/notify", -1}, {"", -1}, {"@", -1}, {"/", -1},
      {std::string("/run/a\0b", 8), -1}, {"vsock:2:1234", -1},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::optional<NotifyAddress> address = notify_address(c.text);
    EXPECT_EQ(c.length, address ? static_cast<int>(address->length) : -1) << c.text;
    if (address && c.text[0] == '@') {
      EXPECT_EQ('\0', address->address.sun_path[0]) << c.text;
    }
  }
}

TEST(ServiceNotify, WatchdogInterval) {
  struct Case {
    const char* usec;
    const char* pid;
    long expected;
  };
  // clang-format off
  const Case cases[] = {
      {"30000000", nullptr, 30000000}, {"30000000", "4242", 30000000},
      {"30000000", "4243", 0},  // meant for another process
      {"30000000", "", 0}, {"30000000", "4242x", 0},
      {nullptr, "4242", 0}, {"", nullptr, 0}, {"0", nullptr, 0}, {"-5", nullptr, 0},
      {" 30", nullptr, 0}, {"30s", nullptr, 0}, {"99999999999999999999", nullptr, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, watchdog_interval(c.usec, c.pid, 4242).count())
        << (c.usec ? c.usec : "(unset)") << " " << (c.pid ? c.pid : "(unset)");
  }
}

// A manager that is not there costs nothing: the message is dropped at once.
TEST(ServiceNotify, NobodyListening) {
  std::string missing = "/tmp/velloc-no-manager-" + std::to_string(getpid());
  EXPECT_FALSE(ServiceNotifier(missing).send("READY=1"));
  EXPECT_FALSE(ServiceNotifier("").enabled());
}

}  // namespace
