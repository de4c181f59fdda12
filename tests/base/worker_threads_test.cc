// Background jobs of a long-running window: ended threads do not pile up.
#include <gtest/gtest.h>

#include <atomic>

#include "base/worker_threads.h"
#include "support/subprocess.h"

namespace tillcast {
namespace {

TEST(WorkerThreads, EndedThreadsAreJoinedWhenTheNextJobStarts) {
  WorkerThreads workers;
  std::atomic<int> ran{0};
  for (int i = 0; i < 50; ++i) workers.Start([&] { ++ran; });
  ASSERT_TRUE(test::WaitUntil([&] { return ran.load() == 50; }, 10000));
  // Each start collects whatever has ended by then.
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        workers.Start([&] { ++ran; });
        return workers.Count() <= 2;
      },
      10000))
      << workers.Count() << " threads kept";
}

TEST(WorkerThreads, JoinAllWaitsForJobsStartedByJobs) {
  WorkerThreads workers;
  std::atomic<bool> inner{false};
  workers.Start([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    workers.Start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      inner = true;
    });
  });
  workers.JoinAll();
  EXPECT_TRUE(inner.load());
  EXPECT_EQ(workers.Count(), 0u);
}

}  // namespace
}  // namespace tillcast
