#include <time.h>

#include "platform/clock.h"

namespace tillcast::platform {
namespace {

class PosixClock final : public Clock {
 public:
  uint32_t TickCount() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }
};

}  // namespace

Clock* SystemClock() {
  static PosixClock clock;
  return &clock;
}

}  // namespace tillcast::platform
