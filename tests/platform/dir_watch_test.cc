// The folder watcher on a real folder (inotify).
#include "platform/dir_watch.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/wait_event.h"
#include "support/test_support.h"

namespace tillcast::platform {
namespace {

// An empty batch means "the system lost changes, read the folder again":
// a read that holds only a folder's creation must not look like one.
TEST(DirWatch, AFolderMadeAloneIsNoLostBatchAndFilesRenamedIntoItAreReported) {
  test::TempDir dir;
  std::unique_ptr<DirWatcher> watcher = CreateDirWatcher();
  ASSERT_TRUE(watcher->Open(dir.path()));
  std::unique_ptr<WaitEvent> stop = WaitEvent::Create();
  ASSERT_TRUE(stop);
  std::vector<DirChange> batch;
  DirWatchResult result = DirWatchResult::kFailed;
  std::thread reader([&] { result = watcher->Next(*stop, &batch); });
  ASSERT_EQ(mkdir(dir.Sub("sub").c_str(), 0700), 0);
  // Long enough for the watcher to read the folder's event on its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  test::WriteFile(dir.Sub("sub/.t"), "x");
  ASSERT_EQ(std::rename(dir.Sub("sub/.t").c_str(), dir.Sub("sub/a.copy").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop->Signal();  // ends a watcher that is still waiting (the fault this checks)
  reader.join();
  EXPECT_EQ(result, DirWatchResult::kChanges);
  ASSERT_FALSE(batch.empty()) << "a batch of folder events came back as lost changes";
  bool renamed_in = false;
  for (const DirChange& c : batch) renamed_in |= c.action == kFileRenamedNew && c.name == "sub/a.copy";
  EXPECT_TRUE(renamed_in || batch.front().name == "sub/.t") << batch.front().name;
}

TEST(DirWatch, StopEndsAWaitWithNothingToReport) {
  test::TempDir dir;
  std::unique_ptr<DirWatcher> watcher = CreateDirWatcher();
  ASSERT_TRUE(watcher->Open(dir.path()));
  std::unique_ptr<WaitEvent> stop = WaitEvent::Create();
  std::vector<DirChange> batch;
  stop->Signal();
  EXPECT_EQ(watcher->Next(*stop, &batch), DirWatchResult::kStopped);
  EXPECT_TRUE(batch.empty());
}

}  // namespace
}  // namespace tillcast::platform
