// Short-lived background jobs of a long-running owner (a window's bind,
// save and scan requests). Each job runs on its own thread; threads that
// have ended are joined when the next job starts, so a till that runs for
// weeks does not keep one finished thread (and its stack) per scan.
//
// Thread-safe. The destructor waits for every job; jobs must therefore end
// on their own or watch a quit flag of their owner.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tillcast {

class WorkerThreads {
 public:
  WorkerThreads() = default;
  ~WorkerThreads() { JoinAll(); }
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Starts `job` on a new thread, after joining the threads that have ended.
  void Start(std::function<void()> job);
  // Waits for every job, including jobs started by jobs meanwhile.
  void JoinAll();
  // Threads started and not yet joined (ended or not).
  size_t Count() const;

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  mutable std::mutex mu_;
  std::vector<Worker> workers_;  // guarded by mu_
};

}  // namespace tillcast
