#include "platform/clock.h"

namespace platform {

namespace {

class SystemClock : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::now();
  }
};

}  // namespace

std::int64_t Clock::unix_milliseconds() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(now().time_since_epoch()).count();
}

std::int64_t Clock::unix_seconds() const {
  using namespace std::chrono;
  return duration_cast<seconds>(now().time_since_epoch()).count();
}

const Clock& system_clock() {
  static const SystemClock clock;
  return clock;
}

}  // namespace platform
