#include "base/worker_threads.h"

#include <algorithm>

namespace tillcast {

void WorkerThreads::Start(std::function<void()> job) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::vector<Worker> finished;
  {
    std::lock_guard<std::mutex> l(mu_);
    const auto first_ended =
        std::stable_partition(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.ended->load(); });
    finished.assign(std::make_move_iterator(first_ended), std::make_move_iterator(workers_.end()));
    workers_.erase(first_ended, workers_.end());
    workers_.push_back({std::thread([job = std::move(job), ended] {
                          job();
                          ended->store(true);
                        }),
                        ended});
  }
  // Outside the lock: these have ended, joining only collects them.
  for (Worker& w : finished) w.thread.join();
}

void WorkerThreads::JoinAll() {
  for (;;) {
    std::vector<Worker> workers;
    {
      std::lock_guard<std::mutex> l(mu_);
      workers.swap(workers_);
    }
    if (workers.empty()) return;
    for (Worker& w : workers) w.thread.join();
  }
}

size_t WorkerThreads::Count() const {
  std::lock_guard<std::mutex> l(mu_);
  return workers_.size();
}

}  // namespace tillcast
