#include "platform/timer_service.h"

namespace tillcast::platform {

ThreadTimerService::ThreadTimerService() : thread_([this] { Run(); }) {}

ThreadTimerService::~ThreadTimerService() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

uint32_t ThreadTimerService::SetTimer(uint32_t period_ms, TimerProc proc) {
  std::lock_guard<std::mutex> l(mu_);
  const uint32_t id = next_id_++;
  timers_[id] = {period_ms, std::chrono::steady_clock::now() + std::chrono::milliseconds(period_ms), std::move(proc)};
  cv_.notify_all();
  return id;
}

void ThreadTimerService::KillTimer(uint32_t id) {
  std::unique_lock<std::mutex> l(mu_);
  timers_.erase(id);
  if (std::this_thread::get_id() != thread_.get_id()) cv_.wait(l, [&] { return running_ != id; });
}

void ThreadTimerService::Run() {
  std::unique_lock<std::mutex> l(mu_);
  while (!stop_) {
    if (timers_.empty()) {
      cv_.wait(l);
      continue;
    }
    auto next = timers_.begin();
    for (auto it = timers_.begin(); it != timers_.end(); ++it)
      if (it->second.due < next->second.due) next = it;
    // A copy: the timer may be killed (and its entry freed) during the wait.
    const std::chrono::steady_clock::time_point due = next->second.due;
    if (std::chrono::steady_clock::now() < due) {
      cv_.wait_until(l, due);
      continue;
    }
    const uint32_t id = next->first;
    next->second.due += std::chrono::milliseconds(next->second.period_ms);
    TimerProc proc = next->second.proc;
    running_ = id;
    l.unlock();
    proc(id);
    l.lock();
    running_ = 0;
    cv_.notify_all();
  }
}

uint32_t ManualTimerService::SetTimer(uint32_t period_ms, TimerProc proc) {
  std::lock_guard<std::mutex> l(mu_);
  last_period_ = period_ms;
  timers_[next_id_] = {period_ms, std::move(proc)};
  return next_id_++;
}

void ManualTimerService::KillTimer(uint32_t id) {
  std::lock_guard<std::mutex> l(mu_);
  timers_.erase(id);
}

bool ManualTimerService::Fire(uint32_t id) {
  TimerProc proc;
  {
    std::lock_guard<std::mutex> l(mu_);
    auto it = timers_.find(id);
    if (it == timers_.end()) return false;
    proc = it->second.second;
  }
  proc(id);
  return true;
}

size_t ManualTimerService::ActiveCount() {
  std::lock_guard<std::mutex> l(mu_);
  return timers_.size();
}

uint32_t ManualTimerService::LastPeriod() {
  std::lock_guard<std::mutex> l(mu_);
  return last_period_;
}

}  // namespace tillcast::platform
