// Periodic timers without a window: the serial watcher's connect timer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace tillcast::platform {

using TimerProc = std::function<void(uint32_t id)>;

// Thread-safe.
class TimerService {
 public:
  virtual ~TimerService() = default;
  // Calls `proc` every `period_ms` until killed; returns the timer's id (> 0).
  virtual uint32_t SetTimer(uint32_t period_ms, TimerProc proc) = 0;
  // Stops the timer. From any other thread than the one running its
  // procedure, returns only after a running call of it has ended; from
  // inside the procedure it returns at once.
  virtual void KillTimer(uint32_t id) = 0;
};

// Runs every procedure on one thread of its own; the destructor joins it.
class ThreadTimerService final : public TimerService {
 public:
  ThreadTimerService();
  ~ThreadTimerService() override;
  uint32_t SetTimer(uint32_t period_ms, TimerProc proc) override;
  void KillTimer(uint32_t id) override;

 private:
  struct Timer {
    uint32_t period_ms;
    std::chrono::steady_clock::time_point due;
    TimerProc proc;
  };
  void Run();
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<uint32_t, Timer> timers_;
  uint32_t next_id_ = 1;
  uint32_t running_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// Fires only when a test says so.
class ManualTimerService final : public TimerService {
 public:
  uint32_t SetTimer(uint32_t period_ms, TimerProc proc) override;
  void KillTimer(uint32_t id) override;
  // Runs the procedure of timer `id` once (on the caller's thread); false
  // when no such timer is active.
  bool Fire(uint32_t id);
  size_t ActiveCount();
  uint32_t LastPeriod();

 private:
  std::mutex mu_;
  std::map<uint32_t, std::pair<uint32_t, TimerProc>> timers_;
  uint32_t next_id_ = 1;
  uint32_t last_period_ = 0;
};

}  // namespace tillcast::platform
