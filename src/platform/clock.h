// Millisecond tick count, as the timer rules of the agent measure time.
#pragma once

#include <atomic>
#include <cstdint>

namespace tillcast::platform {

// Thread-safe: TickCount may be called from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start, monotonic, wrapping at 2^32.
  virtual uint32_t TickCount() = 0;
};

// The process-wide monotonic clock. Never null, never destroyed.
Clock* SystemClock();

// A clock that only moves when told to; for tests of timer rules.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint32_t start = 0) : now_(start) {}
  uint32_t TickCount() override { return now_.load(); }
  void Advance(uint32_t ms) { now_.fetch_add(ms); }
  void Set(uint32_t ms) { now_.store(ms); }

 private:
  std::atomic<uint32_t> now_;
};

}  // namespace tillcast::platform
